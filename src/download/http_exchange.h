// The steps of one HTTP/1.1 exchange over a fresh connection: open, send, read the reply's head.
// The caller closes the connection when it is done with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/buffered_stream.h"
#include "download/http_reply.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

inline constexpr const char* HEAD_REPLY_TOO_LONG_TEXT = "HEAD 响应过长（超过 65536 字节）";
inline constexpr const char* GET_HEAD_LINE_TOO_LONG_TEXT = "HTTP 响应头行过长（超过 16384 字节）";

namespace detail {
// True when `text` holds `number` in decimal between "（超过 " and " 字节）".
consteval bool states_limit(std::string_view text, size_t number) {
  char digits[24] = {};
  size_t start = sizeof digits - 1;
  do {
    digits[--start] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  const std::string_view decimal(digits + start, sizeof digits - 1 - start);
  const std::string_view before = "（超过 ", after = " 字节）";
  return text.ends_with(after) && text.substr(0, text.size() - after.size()).ends_with(decimal) &&
         text.substr(0, text.size() - after.size() - decimal.size()).ends_with(before);
}
}  // namespace detail
// The texts name the limits of http_reply.h; the build stops when the two part.
static_assert(detail::states_limit(HEAD_REPLY_TOO_LONG_TEXT, MAX_HEAD_REPLY_BYTES));
static_assert(detail::states_limit(GET_HEAD_LINE_TOO_LONG_TEXT, MAX_GET_HEAD_LINE_BYTES));

Task<Result<BufferedStream>> open_connection(const Connector& connector, std::string_view host,
                                             uint16_t port);

// Writes every byte of the request, then flushes.
Task<Result<void>> send_request(BufferedStream& stream, std::string_view request);

// Reads the HEAD reply until the server closes the connection and checks it; yields the whole
// reply. A reply refused for its status is also left in `refused`, when given.
Task<Result<std::string>> read_head_reply(BufferedStream& stream, std::string* refused = nullptr);

// Reads and checks the GET reply's status line and skips its header lines; the stream is then at
// the first body byte (or at end of stream when the head was cut off). When the status is refused
// and `refused` is given, the rest of the head is still read into it (status line first), so that
// the caller can learn what the server asks of it; the reply's failure is the result all the same.
Task<Result<void>> read_get_head(BufferedStream& stream, std::string* refused = nullptr);

}  // namespace quorvel
