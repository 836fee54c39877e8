// What the program says to a proxy to get a tunnel to the download host, one reply at a time:
// CONNECT, then, when the proxy asks for the Windows logon, the logon's tokens on the same
// connection. No I/O here; proxy_tunnel.h runs the dialog over a connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/proxy_list.h"
#include "net/proxy_reply.h"
#include "runtime/error.h"

namespace quorvel {

// The player's Windows logon as a sequence of tokens (SSPI's Negotiate or NTLM on Windows).
class ProxyLogon {
 public:
  virtual ~ProxyLogon() = default;
  // The next token for the proxy: the first from an empty challenge, later ones from the proxy's
  // challenge. Sets `last` when the logon needs no further challenge.
  virtual Result<std::vector<uint8_t>> next_token(std::span<const uint8_t> challenge,
                                                  bool& last) = 0;
};

// Starts a logon for the scheme (Negotiate or Ntlm) towards the proxy.
using ProxyLogonStarter = std::function<Result<std::unique_ptr<ProxyLogon>>(
    ProxyAuthScheme scheme, const ProxyEndpoint& proxy)>;

class ConnectDialog {
 public:
  ConnectDialog(ProxyEndpoint proxy, std::string host, uint16_t port, ProxyLogonStarter logon);

  // The first CONNECT request.
  std::string first_request() const;

  struct Next {
    enum class Step : uint8_t {
      Tunnel,     // the tunnel is open: the host's TLS handshake follows on this connection
      Send,       // send `request` on this connection after skipping `skip_body` bytes
      Reconnect,  // the proxy ends this connection: send `request` on a new one
    } step;
    std::string request;
    uint64_t skip_body = 0;
  };

  // Judges one reply head. Errors carry the texts the download reports.
  Result<Next> on_reply(std::string_view head);

  const ProxyEndpoint& proxy() const { return proxy_; }

 private:
  Result<Next> answer_logon_request(const ConnectReply& reply);

  ProxyEndpoint proxy_;
  std::string host_;
  uint16_t port_;
  ProxyLogonStarter start_logon_;
  std::unique_ptr<ProxyLogon> logon_;
  ProxyAuthScheme scheme_ = ProxyAuthScheme::None;
  bool last_token_sent_ = false;
};

// Error texts about a proxy, each naming it as "HOST:PORT".
std::string proxy_unreachable_text(const ProxyEndpoint& proxy, std::string_view error);
std::string proxy_closed_text(const ProxyEndpoint& proxy);
std::string proxy_head_too_long_text(const ProxyEndpoint& proxy);
std::string proxy_spoke_early_text(const ProxyEndpoint& proxy);

}  // namespace quorvel
