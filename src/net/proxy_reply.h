// The CONNECT request that asks a proxy for a tunnel to the download host, and the reading of the
// proxy's reply head. Pure functions over bytes, tested and fuzzed without a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace quorvel {

// The same bounds as a download server's head: a proxy that never ends its head must not exhaust
// memory.
inline constexpr size_t MAX_PROXY_HEAD_BYTES = 64 * 1024;
inline constexpr size_t MAX_PROXY_HEAD_LINE_BYTES = 16 * 1024;

// "CONNECT host:port HTTP/1.1", "Host: host:port", then "Proxy-Authorization: " + authorization
// when one is given, then the blank line.
std::string format_connect_request(std::string_view host, uint16_t port,
                                   std::string_view authorization = {});

struct ConnectReply {
  int status = 0;
  std::string
      status_text;  // "407 Proxy Authentication Required": the status line after its version
  std::vector<std::string> authenticate;  // each Proxy-Authenticate value, trimmed, in order
  std::optional<uint64_t> content_length;
  bool chunked = false;
  bool closes = false;  // the proxy ends the connection after this reply
};

// A whole head, its blank line included: "HTTP/1.x NNN text" and header lines ending in CRLF (a
// bare LF is taken too). Fails with "invalid reply" when the status line is no HTTP/1 status.
Result<ConnectReply> parse_connect_reply(std::string_view head);

// The length of the head at the start of `bytes`, its blank line included; 0 while it has not
// ended.
size_t proxy_head_length(std::string_view bytes);

// The length of the longest line of `bytes`, its line feed included.
size_t longest_line(std::string_view bytes);

enum class ProxyAuthScheme : uint8_t { None, Negotiate, Ntlm, Password };

// The scheme to answer a 407 with: the Windows logon (Negotiate before NTLM) when offered; Password
// when only a typed password (Basic, Digest) would do; None when nothing known is offered.
ProxyAuthScheme choose_proxy_auth(const ConnectReply& reply);

// "Negotiate", "NTLM"; the Password choice names the first scheme the proxy offered.
std::string auth_scheme_name(ProxyAuthScheme scheme, const ConnectReply& reply);

// The token after the scheme's name in the proxy's challenge ("NTLM <base64>"), decoded; empty
// when the proxy sent the name alone; nullopt when it did not offer the scheme or the token is no
// base64.
std::optional<std::vector<uint8_t>> auth_challenge(const ConnectReply& reply,
                                                   ProxyAuthScheme scheme);

std::string base64_encode(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);

}  // namespace quorvel
