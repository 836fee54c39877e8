// The proxies Windows names for a URL, as text: WinHTTP's proxy strings ("a:3128;b:8080",
// "https=a:3128 http=b:80"), a proxy auto-config script's answer ("PROXY a:3128; DIRECT") and the
// bypass list of the user's fixed proxy. Pure functions over text, so they are tested and fuzzed
// without Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct ProxyEndpoint {
  std::string host;  // a name or an address literal, IPv6 without brackets
  uint16_t port = 80;
  friend bool operator==(const ProxyEndpoint&, const ProxyEndpoint&) = default;
};

// "HOST:PORT", an IPv6 host in brackets: how lines and error texts name a proxy.
std::string endpoint_text(const ProxyEndpoint& proxy);

// One way to the host: through a proxy, or direct (nullopt).
using ProxyWay = std::optional<ProxyEndpoint>;

// The ways for an https URL, in order. Entries are separated by ";", "," or white space; WinHTTP's
// "scheme=" entries count only for https, and an entry without one for every scheme; an auto-config
// answer's "PROXY"/"HTTPS" entries are proxies and "DIRECT" the direct way, other kinds (SOCKS) are
// skipped. A missing port is 80. Entries that cannot be read are skipped.
std::vector<ProxyWay> parse_proxy_list(std::string_view text);

// True when the bypass list names the host: "<local>" for a name without a dot, otherwise each
// entry compared without regard to case, "*" standing for any run of characters; an entry with a
// port counts only for that port, one with "https://" only for https (the only scheme used).
bool proxy_bypassed(std::string_view bypass_list, std::string_view host, uint16_t port);

// ASCII letters compared without regard to case, as proxy words and header names are.
bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace quorvel
