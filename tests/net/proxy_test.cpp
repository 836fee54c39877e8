#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "net/proxy_dialog.h"
#include "net/proxy_list.h"
#include "net/proxy_reply.h"
#include "net/proxy_tunnel.h"

namespace quorvel {
namespace {

std::string ways_text(const std::vector<ProxyWay>& ways) {
  std::string text;
  for (const ProxyWay& way : ways) text += (way ? endpoint_text(*way) : "DIRECT") + " ";
  return text;
}

TEST(ProxyList, ReadsWinHttpStringsAndAutoConfigAnswers) {
  const struct {
    const char* text;
    const char* ways;
  } rows[] = {
      {"10.0.0.1:3128", "10.0.0.1:3128 "},
      {"PROXY a:1; DIRECT", "a:1 DIRECT "},
      {"PROXY a:1; PROXY b:2;DIRECT", "a:1 b:2 DIRECT "},
      {"HTTPS a:443; SOCKS s:1080; PROXY b", "a:443 b:80 "},
      {"a:1;b:2 c:3,d", "a:1 b:2 c:3 d:80 "},
      {"http=h:80;https=s:3128;ftp=f:21", "s:3128 "},
      {"http://p.example:8080/", "p.example:8080 "},
      {"[::1]:3128 [fe80::1]", "[::1]:3128 [fe80::1]:80 "},
      {"::1 a:99999 a:0 a: :5 PROXY", ""},
      {"", ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ways_text(parse_proxy_list(row.text)), row.ways) << row.text;
}

TEST(ProxyList, BypassListNamesHostsByPatternPortAndLocal) {
  const struct {
    const char* list;
    const char* host;
    uint16_t port;
    bool bypassed;
  } rows[] = {
      {"<local>", "localhost", 443, true},
      {"<local>", "dl.example.com", 443, false},
      {"*.example.com", "DL.Example.COM", 443, true},
      {"*.example.com", "example.com", 443, false},
      {"dl.example.com:443", "dl.example.com", 443, true},
      {"dl.example.com:8443", "dl.example.com", 443, false},
      {"http://dl.example.com", "dl.example.com", 443, false},
      {"https://dl.example.com", "dl.example.com", 443, true},
      {"10.*;192.168.*", "192.168.1.5", 443, true},
      {"a.test; b.test", "b.test", 443, true},
      {"", "anything", 443, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(proxy_bypassed(row.list, row.host, row.port), row.bypassed)
        << row.list << " / " << row.host;
  }
}

TEST(ProxyReply, JudgesStatusAuthenticationAndConnectionEnd) {
  EXPECT_EQ(format_connect_request("dl.example.com", 443),
            "CONNECT dl.example.com:443 HTTP/1.1\r\nHost: dl.example.com:443\r\n\r\n");
  EXPECT_EQ(
      format_connect_request("h", 8443, "NTLM TlRMTQ=="),
      "CONNECT h:8443 HTTP/1.1\r\nHost: h:8443\r\nProxy-Authorization: NTLM TlRMTQ==\r\n\r\n");
  const struct {
    const char* head;
    int status;  // 0: invalid
    ProxyAuthScheme scheme;
    bool closes;
  } rows[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", 200, ProxyAuthScheme::None, false},
      {"HTTP/1.0 200 OK\n\n", 200, ProxyAuthScheme::None, true},
      {"HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
       "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate\r\n\r\n",
       407, ProxyAuthScheme::Negotiate, false},
      {"HTTP/1.1 407 Auth\r\nproxy-authenticate: ntlm\r\nConnection: close\r\n\r\n", 407,
       ProxyAuthScheme::Ntlm, true},
      {"HTTP/1.1 407 Auth\r\nProxy-Authenticate: Digest realm=x\r\n\r\n", 407,
       ProxyAuthScheme::Password, false},
      {"HTTP/1.1 403\r\n\r\n", 403, ProxyAuthScheme::None, false},
      {"HTTP/2 200\r\n\r\n", 0, ProxyAuthScheme::None, false},
      {"HTTP/1.1 20x OK\r\n\r\n", 0, ProxyAuthScheme::None, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", 0, ProxyAuthScheme::None, false},
  };
  for (const auto& row : rows) {
    auto reply = parse_connect_reply(row.head);
    ASSERT_EQ(reply.ok(), row.status != 0) << row.head;
    if (!reply) continue;
    EXPECT_EQ(reply->status, row.status) << row.head;
    EXPECT_EQ(choose_proxy_auth(*reply), row.scheme) << row.head;
    EXPECT_EQ(reply->closes, row.closes) << row.head;
  }
  const std::vector<uint8_t> bytes = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2};
  EXPECT_EQ(base64_encode(bytes), "TlRMTVNTUAAC");
  EXPECT_EQ(base64_decode("TlRMTVNTUAAC"), bytes);
  EXPECT_EQ(base64_decode("YQ=="), std::vector<uint8_t>{'a'});
  EXPECT_FALSE(base64_decode("YQ=a").has_value());
  EXPECT_FALSE(base64_decode("Y===").has_value());
  EXPECT_FALSE(base64_decode("abc").has_value());
}

// A connection to the proxy that answers each request with the next scripted reply; a reply ending
// in "<close>" ends the connection after it.
struct ScriptedProxy {
  std::deque<std::string> replies;
  std::vector<std::string> requests;  // every request, in order, "|" marks a new connection
  int connections = 0;
};

class ScriptedConnection {
 public:
  explicit ScriptedConnection(ScriptedProxy* proxy) : proxy_(proxy) {}
  Task<Result<size_t>> read_some(std::span<uint8_t> buffer) {
    if (pending_.empty()) co_return size_t{0};
    const size_t n = std::min(buffer.size(), pending_.size());
    std::copy_n(pending_.begin(), n, buffer.begin());
    pending_.erase(0, n);
    co_return n;
  }
  Task<Result<void>> write_all(std::span<const uint8_t> bytes) {
    proxy_->requests.emplace_back(bytes.begin(), bytes.end());
    if (!open_ || proxy_->replies.empty()) co_return Error::os(10054);
    std::string reply = proxy_->replies.front();
    proxy_->replies.pop_front();
    if (reply.ends_with("<close>")) {
      reply.resize(reply.size() - 7);
      open_ = false;
    }
    pending_ += reply;
    co_return success();
  }

 private:
  ScriptedProxy* proxy_;
  std::string pending_;
  bool open_ = true;
};

// Tokens "T1", then "T3:" + the challenge; the second is the last.
class CountingLogon final : public ProxyLogon {
 public:
  Result<std::vector<uint8_t>> next_token(std::span<const uint8_t> challenge, bool& last) override {
    last = !challenge.empty();
    std::string token =
        challenge.empty() ? "T1" : "T3:" + std::string(challenge.begin(), challenge.end());
    return std::vector<uint8_t>(token.begin(), token.end());
  }
};

TEST(ProxyTunnel, DialogsEndInATunnelOrInTheirOwnText) {
  const std::string connect = "CONNECT dl.test:443 HTTP/1.1\r\nHost: dl.test:443\r\n";
  const auto with_auth = [&](const std::string& token) {
    return connect + "Proxy-Authorization: NTLM " +
           base64_encode(std::vector<uint8_t>(token.begin(), token.end())) + "\r\n\r\n";
  };
  const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
  const std::string ntlm =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: NTLM\r\nContent-Length: 5\r\n\r\nbody!";
  const std::string challenge =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: NTLM " +
      base64_encode(std::vector<uint8_t>{'C', '2'}) + "\r\nContent-Length: 0\r\n\r\n";
  const struct {
    const char* name;
    std::vector<std::string> replies;
    bool logon;
    std::string error;  // empty: the tunnel opens
    std::vector<std::string> requests;
  } rows[] = {
      {"open", {ok}, true, "", {connect + "\r\n"}},
      {"refused",
       {"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"},
       true,
       "代理 10.0.0.1:3128 回应 403 Forbidden / proxy 10.0.0.1:3128 answered 403 Forbidden",
       {connect + "\r\n"}},
      {"redirect is refused",
       {"HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n"},
       true,
       "代理 10.0.0.1:3128 回应 302 Found / proxy 10.0.0.1:3128 answered 302 Found",
       {connect + "\r\n"}},
      {"basic",
       {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
        "realm=\"p\"\r\n\r\n"},
       true,
       "代理 10.0.0.1:3128 要求输入密码（Basic），本程序无法提供 / proxy 10.0.0.1:3128 asks for a "
       "password (Basic) which the program cannot supply",
       {connect + "\r\n"}},
      {"ntlm on one connection",
       {ntlm, challenge, ok},
       true,
       "",
       {connect + "\r\n", with_auth("T1"), with_auth("T3:C2")}},
      {"ntlm after the first reply ends the connection",
       {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
        "Connection: close\r\n\r\n<close>",
        challenge, ok},
       true,
       "",
       {connect + "\r\n", "|", with_auth("T1"), with_auth("T3:C2")}},
      {"logon refused",
       {ntlm, challenge, ntlm},
       true,
       "代理 10.0.0.1:3128 不接受 Windows 登录 / proxy 10.0.0.1:3128 did not accept the Windows "
       "logon: 407 Proxy Authentication Required",
       {connect + "\r\n", with_auth("T1"), with_auth("T3:C2")}},
      {"no logon",
       {ntlm},
       false,
       "代理 10.0.0.1:3128 回应 407 Proxy Authentication Required / proxy 10.0.0.1:3128 answered "
       "407 Proxy Authentication Required",
       {connect + "\r\n"}},
      {"closed",
       {"HTTP/1.1 200 OK\r\n<close>"},
       true,
       "代理 10.0.0.1:3128 未回应就关闭了连接 / proxy 10.0.0.1:3128 closed the connection without "
       "a reply",
       {connect + "\r\n"}},
      {"endless head",
       {"HTTP/1.1 200 OK\r\n" + std::string(70000, 'x')},
       true,
       "代理 10.0.0.1:3128 的回应头过长（超过 65536 字节） / proxy 10.0.0.1:3128 sent a reply head "
       "over 65536 bytes",
       {connect + "\r\n"}},
      {"no http",
       {"SSH-2.0-OpenSSH\r\n\r\n"},
       true,
       "代理 10.0.0.1:3128 的回应无效 / proxy 10.0.0.1:3128 sent an invalid reply",
       {connect + "\r\n"}},
  };
  for (const auto& row : rows) {
    ScriptedProxy proxy{{row.replies.begin(), row.replies.end()}, {}, 0};
    ProxyLogonStarter logon;
    if (row.logon) {
      logon = [](ProxyAuthScheme scheme,
                 const ProxyEndpoint&) -> Result<std::unique_ptr<ProxyLogon>> {
        EXPECT_EQ(scheme, ProxyAuthScheme::Ntlm);
        return std::unique_ptr<ProxyLogon>(std::make_unique<CountingLogon>());
      };
    }
    ConnectDialog dialog({"10.0.0.1", 3128}, "dl.test", 443, logon);
    std::function<Task<Result<ScriptedConnection>>()> open =
        [&proxy]() -> Task<Result<ScriptedConnection>> {
      if (proxy.connections++ > 0) proxy.requests.push_back("|");
      co_return ScriptedConnection(&proxy);
    };
    auto tunnel = block_on(open_tunnel<ScriptedConnection>(dialog, open));
    EXPECT_EQ(tunnel ? std::string() : error_text(tunnel.error()), row.error) << row.name;
    EXPECT_EQ(proxy.requests, row.requests) << row.name;
    if (tunnel) {  // nothing of the proxy's is left for the host's TLS session
      uint8_t byte;
      EXPECT_EQ(*block_on(tunnel->read_some(std::span<uint8_t>(&byte, 1))), 0u) << row.name;
    }
  }
}

}  // namespace
}  // namespace quorvel
