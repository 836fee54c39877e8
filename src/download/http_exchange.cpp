#include "download/http_exchange.h"

#include "download/http_reply.h"

namespace quorvel {

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

Task<Result<std::string>> read_head_reply(BufferedStream& stream) {
  std::string reply;
  auto read = co_await stream.read_to_end(reply, MAX_HEAD_REPLY_BYTES, HEAD_REPLY_TOO_LONG_TEXT);
  if (!read) co_return read.take_error();
  auto checked = check_head_reply(reply);
  if (!checked) co_return checked.take_error();
  co_return reply;
}

Task<Result<void>> read_get_head(BufferedStream& stream) {
  GetHeadParser parser;
  std::string line;  // reused for every line
  for (;;) {
    line.clear();
    auto n = co_await stream.read_line(line, MAX_GET_HEAD_LINE_BYTES, GET_HEAD_LINE_TOO_LONG_TEXT);
    if (!n) co_return n.take_error();
    // The status line is checked even when the stream ended before it; header lines stop there.
    if (*n == 0 && parser.status_seen()) co_return success();
    auto done = parser.feed_line(line);
    if (!done) co_return done.take_error();
    if (*done || *n == 0) co_return success();
  }
}

}  // namespace quorvel
