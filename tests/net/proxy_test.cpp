#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "net/proxy_dialog.h"
#include "net/proxy_list.h"
#include "net/proxy_reply.h"
#include "net/proxy_tunnel.h"

namespace quorvel {
namespace {

// Each way as "HOST:PORT" or "DIRECT", one space after each.
std::string ways_text(std::string_view list) {
  std::string text;
  for (const ProxyWay& way : parse_proxy_list(list))
    text += (way ? endpoint_text(*way) : "DIRECT") + " ";
  return text;
}

TEST(ProxyRules, ListsBypassListsAndReplies) {
  const std::pair<const char*, const char*> lists[] = {
      {"PROXY a:1; PROXY b:2;DIRECT", "a:1 b:2 DIRECT "},
      {"HTTPS a:443; SOCKS s:1080; PROXY b", "a:443 b:80 "},
      {"a:1;b:2 c:3,http://d/", "a:1 b:2 c:3 d:80 "},
      {"http=h:80;https=s:3128;ftp=f:21", "s:3128 "},
      {"[::1]:3128 [fe80::1]", "[::1]:3128 [fe80::1]:80 "},
      {"::1 a:99999 a:0 a: :5 PROXY", ""},
  };
  for (auto [list, ways] : lists) EXPECT_EQ(ways_text(list), ways) << list;
  // Bypass lists that name dl.example.com (port 443), then lists that do not.
  for (const char* list :
       {"<local>;*.EXAMPLE.com", "dl.example.com:443", "https://dl.example.com", "10.*; dl.*.com"})
    EXPECT_TRUE(proxy_bypassed(list, "dl.example.com", 443)) << list;
  for (const char* list :
       {"<local>", "*.dl.example.com", "dl.example.com:8443", "http://dl.example.com"})
    EXPECT_FALSE(proxy_bypassed(list, "dl.example.com", 443)) << list;
  EXPECT_TRUE(proxy_bypassed("<local>", "localhost", 443));
  // Head, status (0: invalid), the scheme to answer with, whether the proxy ends the connection.
  const std::tuple<const char*, int, ProxyAuthScheme, bool> replies[] = {
      {"HTTP/1.0 200 OK\n\n", 200, ProxyAuthScheme::None, true},
      {"HTTP/1.1 407 A\r\nProxy-Authenticate: Basic realm=\"x\"\r\nProxy-Authenticate: NTLM\r\n"
       "Proxy-Authenticate: Negotiate\r\n\r\n",
       407, ProxyAuthScheme::Negotiate, false},
      {"HTTP/1.1 407 A\r\nproxy-authenticate: ntlm\r\nConnection: close\r\n\r\n", 407,
       ProxyAuthScheme::Ntlm, true},
      {"HTTP/1.1 407 A\r\nProxy-Authenticate: Digest realm=x\r\n\r\n", 407,
       ProxyAuthScheme::Password, false},
      {"HTTP/2 200\r\n\r\n", 0, {}, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", 0, {}, false},
  };
  for (auto [head, status, scheme, closes] : replies) {
    auto reply = parse_connect_reply(head);
    EXPECT_EQ(reply ? reply->status : 0, status) << head;
    if (!reply) continue;
    EXPECT_EQ(choose_proxy_auth(*reply), scheme) << head;
    EXPECT_EQ(reply->closes, closes) << head;
  }
  for (const char* invalid : {"YQ=a", "Y===", "abc"}) EXPECT_FALSE(base64_decode(invalid));
}

// Each request is answered with the next reply; one ending in "<close>" ends the connection.
struct ScriptedProxy {
  std::deque<std::string> replies;
  std::vector<std::string> requests;  // in order, "|" where a new connection begins
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
  const std::string first = connect + "\r\n";
  const std::string closing_ntlm =
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
      "Connection: close\r\n\r\n<close>";
  // The replies in order, the error's English half ("" where the tunnel opens), the requests.
  const struct {
    std::vector<std::string> replies;
    std::string error;
    std::vector<std::string> requests;
  } rows[] = {
      {{ok}, "", {first}},
      {{"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"},
       "proxy 10.0.0.1:3128 answered 403 Forbidden",
       {first}},
      {{"HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n"},
       "proxy 10.0.0.1:3128 answered 302 Found",
       {first}},
      {{"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=p\r\n\r\n"},
       "proxy 10.0.0.1:3128 asks for a password (Basic) which the program cannot supply",
       {first}},
      {{ntlm, challenge, ok}, "", {first, with_auth("T1"), with_auth("T3:C2")}},
      {{closing_ntlm, challenge, ok}, "", {first, "|", with_auth("T1"), with_auth("T3:C2")}},
      {{ntlm, challenge, ntlm},
       "proxy 10.0.0.1:3128 did not accept the Windows logon: 407 Proxy Authentication Required",
       {first, with_auth("T1"), with_auth("T3:C2")}},
      {{"HTTP/1.1 200 OK\r\n<close>"},
       "proxy 10.0.0.1:3128 closed the connection without a reply",
       {first}},
      {{"HTTP/1.1 200 OK\r\n" + std::string(70000, 'x')},
       "proxy 10.0.0.1:3128 sent a reply head over 65536 bytes",
       {first}},
      {{"SSH-2.0-OpenSSH\r\n\r\n"}, "proxy 10.0.0.1:3128 sent an invalid reply", {first}},
      {{ok + "\x16\x03"}, "proxy 10.0.0.1:3128 sent more than its reply", {first}},
  };
  for (const auto& row : rows) {
    ScriptedProxy proxy{{row.replies.begin(), row.replies.end()}, {}, 0};
    ProxyLogonStarter logon = [](ProxyAuthScheme scheme,
                                 const ProxyEndpoint&) -> Result<std::unique_ptr<ProxyLogon>> {
      EXPECT_EQ(scheme, ProxyAuthScheme::Ntlm);
      return std::unique_ptr<ProxyLogon>(std::make_unique<CountingLogon>());
    };
    ConnectDialog dialog({"10.0.0.1", 3128}, "dl.test", 443, logon);
    std::function<Task<Result<ScriptedConnection>>()> open =
        [&proxy]() -> Task<Result<ScriptedConnection>> {
      if (proxy.connections++ > 0) proxy.requests.push_back("|");
      co_return ScriptedConnection(&proxy);
    };
    auto tunnel = block_on(open_tunnel<ScriptedConnection>(dialog, open));
    const std::string text = tunnel ? std::string() : error_text(tunnel.error());
    EXPECT_EQ(text.substr(text.empty() ? 0 : text.find(" / ") + 3), row.error) << row.replies[0];
    EXPECT_EQ(proxy.requests, row.requests) << row.replies[0];
    if (tunnel) {  // nothing of the proxy's is left for the host's TLS session
      uint8_t byte;
      EXPECT_EQ(*block_on(tunnel->read_some(std::span<uint8_t>(&byte, 1))), 0u);
    }
  }
}

}  // namespace
}  // namespace quorvel
