#include "net/proxy_reply.h"

#include <algorithm>

#include "net/proxy_list.h"

namespace quorvel {

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool contains_token(std::string_view list, std::string_view token) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    if (equal_ignoring_case(trim(list.substr(start, comma - start)), token)) return true;
    start = comma + 1;
  }
  return false;
}

// The scheme name of a challenge ("NTLM abc=" -> "NTLM").
std::string_view challenge_scheme(std::string_view value) {
  const size_t space = value.find_first_of(" \t");
  return space == std::string_view::npos ? value : value.substr(0, space);
}

constexpr char BASE64_DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string format_connect_request(std::string_view host, uint16_t port,
                                   std::string_view authorization) {
  const std::string target = std::string(host) + ":" + std::to_string(port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!authorization.empty()) {
    request += "Proxy-Authorization: ";
    request += authorization;
    request += "\r\n";
  }
  request += "\r\n";
  return request;
}

size_t proxy_head_length(std::string_view bytes) {
  for (size_t start = 0, feed; (feed = bytes.find('\n', start)) != std::string_view::npos;
       start = feed + 1) {
    if (feed == start || (feed == start + 1 && bytes[start] == '\r')) return feed + 1;
  }
  return 0;
}

size_t longest_line(std::string_view bytes) {
  size_t longest = 0;
  for (size_t start = 0; start < bytes.size();) {
    size_t feed = bytes.find('\n', start);
    const size_t end = feed == std::string_view::npos ? bytes.size() : feed + 1;
    longest = std::max(longest, end - start);
    start = end;
  }
  return longest;
}

Result<ConnectReply> parse_connect_reply(std::string_view head) {
  const Error invalid = Error::kind(ErrorKind::InvalidData, "invalid reply");
  ConnectReply reply;
  bool http_1_0 = false, keep_alive = false;
  size_t start = 0;
  bool first = true;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(start, end - start);
    start = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (first) {
      first = false;
      // "HTTP/1.x NNN" then, after a space, the reason (which may be empty).
      if (line.size() < 12 || !line.starts_with("HTTP/1.") || line[8] != ' ' ||
          (line[7] != '0' && line[7] != '1')) {
        return invalid;
      }
      for (size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') return invalid;
      }
      if (line.size() > 12 && line[12] != ' ') return invalid;
      http_1_0 = line[7] == '0';
      reply.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
      reply.status_text = std::string(trim(line.substr(9)));
      for (char& c : reply.status_text) {
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
      }
      continue;
    }
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    if (equal_ignoring_case(name, "Proxy-Authenticate")) {
      reply.authenticate.emplace_back(value);
    } else if (equal_ignoring_case(name, "Content-Length")) {
      uint64_t length = 0;
      bool digits = !value.empty();
      for (char c : value) {
        if (c < '0' || c > '9' || length > (UINT64_MAX - 9) / 10) {
          digits = false;
          break;
        }
        length = length * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!digits) return invalid;
      reply.content_length = length;
    } else if (equal_ignoring_case(name, "Transfer-Encoding")) {
      reply.chunked = !equal_ignoring_case(value, "identity");
    } else if (equal_ignoring_case(name, "Connection") ||
               equal_ignoring_case(name, "Proxy-Connection")) {
      if (contains_token(value, "close")) reply.closes = true;
      if (contains_token(value, "keep-alive")) keep_alive = true;
    }
  }
  if (first) return invalid;
  if (http_1_0 && !keep_alive) reply.closes = true;
  return reply;
}

ProxyAuthScheme choose_proxy_auth(const ConnectReply& reply) {
  bool negotiate = false, ntlm = false, password = false;
  for (const std::string& value : reply.authenticate) {
    const std::string_view scheme = challenge_scheme(value);
    if (equal_ignoring_case(scheme, "Negotiate")) negotiate = true;
    if (equal_ignoring_case(scheme, "NTLM")) ntlm = true;
    if (equal_ignoring_case(scheme, "Basic") || equal_ignoring_case(scheme, "Digest"))
      password = true;
  }
  if (negotiate) return ProxyAuthScheme::Negotiate;
  if (ntlm) return ProxyAuthScheme::Ntlm;
  if (password) return ProxyAuthScheme::Password;
  return ProxyAuthScheme::None;
}

std::string auth_scheme_name(ProxyAuthScheme scheme, const ConnectReply& reply) {
  switch (scheme) {
    case ProxyAuthScheme::Negotiate:
      return "Negotiate";
    case ProxyAuthScheme::Ntlm:
      return "NTLM";
    case ProxyAuthScheme::Password:
      for (const std::string& value : reply.authenticate) {
        const std::string_view name = challenge_scheme(value);
        if (equal_ignoring_case(name, "Basic")) return "Basic";
        if (equal_ignoring_case(name, "Digest")) return "Digest";
      }
      return "Basic";
    case ProxyAuthScheme::None:
      break;
  }
  return {};
}

std::optional<std::vector<uint8_t>> auth_challenge(const ConnectReply& reply,
                                                   ProxyAuthScheme scheme) {
  const std::string name = auth_scheme_name(scheme, reply);
  for (const std::string& value : reply.authenticate) {
    const std::string_view text = value;
    if (!equal_ignoring_case(challenge_scheme(text), name)) continue;
    return base64_decode(trim(text.substr(challenge_scheme(text).size())));
  }
  return std::nullopt;
}

std::string base64_encode(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t a = bytes[i];
    const uint32_t b = i + 1 < bytes.size() ? bytes[i + 1] : 0;
    const uint32_t c = i + 2 < bytes.size() ? bytes[i + 2] : 0;
    const uint32_t triple = a << 16 | b << 8 | c;
    text += BASE64_DIGITS[triple >> 18 & 63];
    text += BASE64_DIGITS[triple >> 12 & 63];
    text += i + 1 < bytes.size() ? BASE64_DIGITS[triple >> 6 & 63] : '=';
    text += i + 2 < bytes.size() ? BASE64_DIGITS[triple & 63] : '=';
  }
  return text;
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding != 0) return std::nullopt;  // data after padding
      v[k] = base64_value(c);
      if (v[k] < 0) return std::nullopt;
    }
    const uint32_t triple = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    bytes.push_back(static_cast<uint8_t>(triple >> 16));
    if (padding < 2) bytes.push_back(static_cast<uint8_t>(triple >> 8));
    if (padding < 1) bytes.push_back(static_cast<uint8_t>(triple));
  }
  return bytes;
}

}  // namespace quorvel
