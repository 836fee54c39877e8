#include "net/proxy_dialog.h"

#include <utility>

namespace quorvel {

namespace {

Error failure(std::string text) {
  return Error::other(std::move(text));
}

// A reply body the program can step over on the same connection: one of known length.
bool body_skippable(const ConnectReply& reply) {
  return !reply.closes && !reply.chunked && reply.content_length.has_value();
}

}  // namespace

ConnectDialog::ConnectDialog(ProxyEndpoint proxy, std::string host, uint16_t port,
                             ProxyLogonStarter logon)
    : proxy_(std::move(proxy)),
      host_(std::move(host)),
      port_(port),
      start_logon_(std::move(logon)) {}

std::string ConnectDialog::first_request() const {
  return format_connect_request(host_, port_);
}

Result<ConnectDialog::Next> ConnectDialog::on_reply(std::string_view head) {
  const std::string name = endpoint_text(proxy_);
  auto reply = parse_connect_reply(head);
  if (!reply) {
    return failure("代理 " + name + " 的回应无效 / proxy " + name + " sent an invalid reply");
  }
  if (reply->status == 200) return Next{Next::Step::Tunnel, {}, 0};
  if (reply->status == 407) return answer_logon_request(*reply);
  return failure("代理 " + name + " 回应 " + reply->status_text + " / proxy " + name +
                 " answered " + reply->status_text);
}

Result<ConnectDialog::Next> ConnectDialog::answer_logon_request(const ConnectReply& reply) {
  const std::string name = endpoint_text(proxy_);
  if (scheme_ == ProxyAuthScheme::None) {
    const ProxyAuthScheme offered = choose_proxy_auth(reply);
    if (offered == ProxyAuthScheme::Password) {
      const std::string scheme = auth_scheme_name(offered, reply);
      return failure("代理 " + name + " 要求输入密码（" + scheme + "），本程序无法提供 / proxy " +
                     name + " asks for a password (" + scheme +
                     ") which the program cannot supply");
    }
    if (offered == ProxyAuthScheme::None || !start_logon_) {
      return failure("代理 " + name + " 回应 " + reply.status_text + " / proxy " + name +
                     " answered " + reply.status_text);
    }
    scheme_ = offered;
  } else if (last_token_sent_) {
    return failure("代理 " + name + " 不接受 Windows 登录 / proxy " + name +
                   " did not accept the Windows logon: " + reply.status_text);
  }
  const std::string scheme = auth_scheme_name(scheme_, reply);
  const auto logon_failed = [&](const std::string& why) {
    return failure("代理 " + name + " 要求 Windows 登录（" + scheme + "），登录失败 / proxy " +
                   name + " asks for the Windows logon (" + scheme + "), which failed: " + why);
  };
  std::vector<uint8_t> challenge;
  Next::Step step = Next::Step::Send;
  if (!logon_) {
    auto started = start_logon_(scheme_, proxy_);
    if (!started) return logon_failed(error_text(started.error()));
    logon_ = std::move(*started);
    // The first token goes on a connection that stays: a new one when this one ends.
    if (!body_skippable(reply)) step = Next::Step::Reconnect;
  } else {
    auto given = auth_challenge(reply, scheme_);
    if (!given || given->empty()) return logon_failed("no challenge in the proxy's reply");
    challenge = std::move(*given);
    // The logon's later tokens belong to this connection's exchange.
    if (!body_skippable(reply)) return logon_failed("the proxy closed the connection");
  }
  bool last = false;
  auto token = logon_->next_token(challenge, last);
  if (!token) return logon_failed(error_text(token.error()));
  last_token_sent_ = last;
  const std::string authorization = scheme + " " + base64_encode(*token);
  return Next{step, format_connect_request(host_, port_, authorization),
              step == Next::Step::Send ? *reply.content_length : 0};
}

std::string proxy_unreachable_text(const ProxyEndpoint& proxy, std::string_view error) {
  const std::string name = endpoint_text(proxy);
  return "代理 " + name + " 无法连接 / proxy " + name +
         " could not be reached: " + std::string(error);
}

std::string proxy_closed_text(const ProxyEndpoint& proxy) {
  const std::string name = endpoint_text(proxy);
  return "代理 " + name + " 未回应就关闭了连接 / proxy " + name +
         " closed the connection without a reply";
}

std::string proxy_head_too_long_text(const ProxyEndpoint& proxy) {
  const std::string name = endpoint_text(proxy);
  return "代理 " + name + " 的回应头过长（超过 65536 字节） / proxy " + name +
         " sent a reply head over 65536 bytes";
}

std::string proxy_spoke_early_text(const ProxyEndpoint& proxy) {
  const std::string name = endpoint_text(proxy);
  return "代理 " + name + " 在回应之后多发了数据 / proxy " + name + " sent more than its reply";
}

}  // namespace quorvel
