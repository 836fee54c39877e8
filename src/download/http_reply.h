// Checks of the two replies and recognition of the HEAD reply's header lines. Pure functions over
// bytes already read, so they are tested and fuzzed without a connection.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace quorvel {

inline constexpr std::string_view INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";

// A server that never ends its reply must not exhaust memory.
inline constexpr size_t MAX_HEAD_REPLY_BYTES = 64 * 1024;
inline constexpr size_t MAX_GET_HEAD_LINE_BYTES = 16 * 1024;

enum class HeaderName { ContentLength, Crc64, ETag };

struct HeaderLine {
  HeaderName name;
  std::string_view value;  // trimmed, a slice of the reply
};

// The whole HEAD reply: valid UTF-8 and beginning with "HTTP/1.1 200", else the error to report.
Result<void> check_head_reply(std::string_view reply);

// The HEAD reply's lines as the recognition below sees them: split at each line feed, a carriage
// return before it dropped, no empty line after a final line feed.
std::vector<std::string_view> reply_lines(std::string_view reply);

// The recognised header lines of a checked HEAD reply, in line order; a header given twice is
// listed twice. Every line, the status line and the blank line included, is tested.
std::vector<HeaderLine> recognised_header_lines(std::string_view reply);

// One line of the GET reply's head as read (its line feed included): valid UTF-8.
Result<void> check_get_head_line(std::string_view line);

// The GET status line: valid UTF-8 and beginning with "HTTP/1.1 200" or "HTTP/1.1 206".
Result<void> check_get_status_line(std::string_view line);

// The blank line that ends the GET reply's head. A bare line feed does not.
inline bool is_end_of_head(std::string_view line) {
  return line == "\r\n";
}

// Follows the GET reply's head line by line (each line as read, its line feed included): the status
// line is checked, the header lines only for UTF-8. feed_line yields true once the head has ended.
class GetHeadParser {
 public:
  Result<bool> feed_line(std::string_view line);
  bool status_seen() const { return status_seen_; }

 private:
  bool status_seen_ = false;
};

}  // namespace quorvel
