#include "download/http_reply.h"

#include <string>

#include "runtime/utf.h"

namespace quorvel {

namespace {

Error invalid_utf8() {
  return Error::kind(ErrorKind::InvalidData, std::string(INVALID_UTF8_TEXT));
}

struct Prefix {
  std::string_view text;
  HeaderName name;
};

// Tested in this order; the first that matches wins.
constexpr Prefix PREFIXES[] = {
    {"Content-Length:", HeaderName::ContentLength},
    {"x-oss-hash-crc64ecma:", HeaderName::Crc64},
    {"ETag:", HeaderName::ETag},
};

}  // namespace

Result<void> check_head_reply(std::string_view reply) {
  if (!is_valid_utf8(reply)) return invalid_utf8();
  if (!reply.starts_with("HTTP/1.1 200")) {
    std::string text = "HEAD 请求失败，响应: ";
    text.append(trim_unicode_whitespace(reply));
    return Error::other(std::move(text));
  }
  return success();
}

std::vector<std::string_view> reply_lines(std::string_view reply) {
  std::vector<std::string_view> lines;
  while (!reply.empty()) {
    const size_t feed = reply.find('\n');
    std::string_view line = reply.substr(0, feed);
    reply.remove_prefix(feed == std::string_view::npos ? reply.size() : feed + 1);
    if (feed != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

std::vector<HeaderLine> recognised_header_lines(std::string_view reply) {
  std::vector<HeaderLine> lines;
  for (const std::string_view line : reply_lines(reply)) {
    for (const Prefix& prefix : PREFIXES) {
      if (line.starts_with(prefix.text)) {
        lines.push_back({prefix.name, trim_unicode_whitespace(line.substr(prefix.text.size()))});
        break;
      }
    }
  }
  return lines;
}

Result<void> check_get_head_line(std::string_view line) {
  if (!is_valid_utf8(line)) return invalid_utf8();
  return success();
}

Result<void> check_get_status_line(std::string_view line) {
  if (!is_valid_utf8(line)) return invalid_utf8();
  if (!line.starts_with("HTTP/1.1 200") && !line.starts_with("HTTP/1.1 206")) {
    std::string text = "HTTP 请求失败，响应: ";
    text.append(trim_unicode_whitespace(line));
    return Error::other(std::move(text));
  }
  return success();
}

Result<bool> GetHeadParser::feed_line(std::string_view line) {
  if (!status_seen_) {
    status_seen_ = true;
    auto checked = check_get_status_line(line);
    if (!checked) return checked.take_error();
    return false;
  }
  auto checked = check_get_head_line(line);
  if (!checked) return checked.take_error();
  return is_end_of_head(line);
}

}  // namespace quorvel
