#include "net/proxy_list.h"

#include <cctype>

namespace quorvel {

namespace {

bool is_separator(char c) {
  return c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string_view> split_entries(std::string_view text) {
  std::vector<std::string_view> entries;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_separator(text[i])) ++i;
    size_t end = i;
    while (end < text.size() && !is_separator(text[end])) ++end;
    if (end > i) entries.push_back(text.substr(i, end - i));
    i = end;
  }
  return entries;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

std::optional<uint16_t> read_port(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// "host", "host:port", "[v6]", "[v6]:port", optionally after "http://".
std::optional<ProxyEndpoint> read_endpoint(std::string_view text) {
  if (starts_with_ignoring_case(text, "http://")) text.remove_prefix(7);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  ProxyEndpoint endpoint;
  std::string_view host = text, port;
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (text.find(':') != colon) return std::nullopt;  // a bare IPv6 address is ambiguous
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '[' || c == ']')
      return std::nullopt;
  }
  endpoint.host = std::string(host);
  if (!port.empty()) {
    auto number = read_port(port);
    if (!number) return std::nullopt;
    endpoint.port = *number;
  }
  return endpoint;
}

// "*" matches any run of characters, everything else itself regardless of case.
bool wildcard_match(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                         std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string endpoint_text(const ProxyEndpoint& proxy) {
  const bool v6 = proxy.host.find(':') != std::string::npos;
  return (v6 ? "[" + proxy.host + "]" : proxy.host) + ":" + std::to_string(proxy.port);
}

std::vector<ProxyWay> parse_proxy_list(std::string_view text) {
  std::vector<ProxyWay> ways;
  const std::vector<std::string_view> entries = split_entries(text);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string_view entry = entries[i];
    if (equal_ignoring_case(entry, "DIRECT")) {
      ways.emplace_back(std::nullopt);
      continue;
    }
    // An auto-config answer: the kind, then the server as the next entry.
    if (equal_ignoring_case(entry, "PROXY") || equal_ignoring_case(entry, "HTTPS") ||
        equal_ignoring_case(entry, "HTTP")) {
      if (i + 1 < entries.size()) {
        if (auto endpoint = read_endpoint(entries[++i])) ways.emplace_back(std::move(*endpoint));
      }
      continue;
    }
    if (equal_ignoring_case(entry, "SOCKS") || equal_ignoring_case(entry, "SOCKS4") ||
        equal_ignoring_case(entry, "SOCKS5")) {
      ++i;
      continue;
    }
    if (const size_t equals = entry.find('='); equals != std::string_view::npos) {
      if (!equal_ignoring_case(entry.substr(0, equals), "https")) continue;
      entry.remove_prefix(equals + 1);
    }
    if (auto endpoint = read_endpoint(entry)) ways.emplace_back(std::move(*endpoint));
  }
  return ways;
}

bool proxy_bypassed(std::string_view bypass_list, std::string_view host, uint16_t port) {
  const std::string with_port = std::string(host) + ":" + std::to_string(port);
  for (std::string_view entry : split_entries(bypass_list)) {
    if (equal_ignoring_case(entry, "<local>")) {
      if (host.find('.') == std::string_view::npos && host.find(':') == std::string_view::npos)
        return true;
      continue;
    }
    if (const size_t scheme = entry.find("://"); scheme != std::string_view::npos) {
      if (!equal_ignoring_case(entry.substr(0, scheme), "https")) continue;
      entry.remove_prefix(scheme + 3);
    }
    const bool names_port = entry.rfind(':') != std::string_view::npos && !entry.ends_with(']') &&
                            entry.find(':') == entry.rfind(':');
    if (wildcard_match(entry, names_port ? std::string_view(with_port) : host)) return true;
  }
  return false;
}

}  // namespace quorvel
