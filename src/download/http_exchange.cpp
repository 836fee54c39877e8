#include "download/http_exchange.h"

#include "download/http_reply.h"
#include "download/retry_after.h"

namespace quorvel {

namespace {

bool asks_to_retry_later(std::string_view status_line) {
  const auto code = status_code(status_line);
  return code == STATUS_TOO_MANY_REQUESTS || code == STATUS_SERVICE_UNAVAILABLE;
}

// A refused reply's head after its status line, as far as it can be read; only a few lines.
Task<void> read_rest_of_head(BufferedStream& stream, std::string status_line, std::string& head) {
  constexpr int MAX_LINES = 64;
  head = std::move(status_line);
  std::string line;
  for (int i = 0; i < MAX_LINES; ++i) {
    line.clear();
    auto n = co_await stream.read_line(line, MAX_GET_HEAD_LINE_BYTES, GET_HEAD_LINE_TOO_LONG_TEXT);
    if (!n || *n == 0 || is_end_of_head(line)) co_return;
    head += line;
  }
}

}  // namespace

Task<Result<BufferedStream>> open_connection(const Connector& connector, std::string_view host,
                                             uint16_t port) {
  auto stream = co_await connector(std::string(host), port);
  if (!stream) co_return stream.take_error();
  co_return BufferedStream(std::move(*stream));
}

Task<Result<void>> send_request(BufferedStream& stream, std::string_view request) {
  auto written =
      co_await stream.write_all({reinterpret_cast<const uint8_t*>(request.data()), request.size()});
  if (!written) co_return written;
  co_return co_await stream.flush();
}

Task<Result<std::string>> read_head_reply(BufferedStream& stream, std::string* refused) {
  std::string reply;
  auto read = co_await stream.read_to_end(reply, MAX_HEAD_REPLY_BYTES, HEAD_REPLY_TOO_LONG_TEXT);
  if (!read) co_return read.take_error();
  auto checked = check_head_reply(reply);
  if (!checked) {
    if (refused) *refused = std::move(reply);
    co_return checked.take_error();
  }
  co_return reply;
}

Task<Result<void>> read_get_head(BufferedStream& stream, std::string* refused) {
  GetHeadParser parser;
  std::string line;  // reused for every line
  for (;;) {
    line.clear();
    auto n = co_await stream.read_line(line, MAX_GET_HEAD_LINE_BYTES, GET_HEAD_LINE_TOO_LONG_TEXT);
    if (!n) co_return n.take_error();
    // The status line is checked even when the stream ended before it; header lines stop there.
    if (*n == 0 && parser.status_seen()) co_return success();
    const bool status_line = !parser.status_seen();
    auto done = parser.feed_line(line);
    if (!done) {
      // Only a status that may carry Retry-After is read further: any other reply is done with.
      if (refused && status_line && asks_to_retry_later(line)) {
        co_await read_rest_of_head(stream, line, *refused);
      }
      co_return done.take_error();
    }
    if (*done || *n == 0) co_return success();
  }
}

}  // namespace quorvel
