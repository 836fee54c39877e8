// The steps of one HTTP/1.1 exchange over a fresh connection: open, send, read the reply's head.
// The caller closes the connection when it is done with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "download/buffered_stream.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

inline constexpr const char* HEAD_REPLY_TOO_LONG_TEXT = "HEAD 响应过长（超过 65536 字节）";
inline constexpr const char* GET_HEAD_LINE_TOO_LONG_TEXT = "HTTP 响应头行过长（超过 16384 字节）";

Task<Result<BufferedStream>> open_connection(const Connector& connector, std::string_view host,
                                             uint16_t port);

// Writes every byte of the request, then flushes.
Task<Result<void>> send_request(BufferedStream& stream, std::string_view request);

// Reads the HEAD reply until the server closes the connection and checks it; yields the whole
// reply.
Task<Result<std::string>> read_head_reply(BufferedStream& stream);

// Reads and checks the GET reply's status line and skips its header lines; the stream is then at
// the first body byte (or at end of stream when the head was cut off).
Task<Result<void>> read_get_head(BufferedStream& stream);

}  // namespace quorvel
