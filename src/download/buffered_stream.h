// A connection behind an 8192-byte read buffer. Reads are served from the buffer; a read of at
// least 8192 bytes while the buffer is empty goes straight to the stream, so body bytes are copied
// once. Writes, flush and close pass through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

inline constexpr size_t READ_BUFFER_BYTES = 8192;

class BufferedStream {
 public:
  explicit BufferedStream(std::unique_ptr<ByteStream> stream);

  Task<Result<size_t>> read(std::span<uint8_t> buffer);  // 0 = end of stream

  // Appends bytes up to and including the first line feed, or up to end of stream, to line; yields
  // how many were appended. Fails once a line would exceed max_bytes.
  Task<Result<size_t>> read_line(std::string& bytes, size_t max_bytes, const char* too_long_text);

  // Appends everything until end of stream; fails once more than max_bytes have arrived.
  Task<Result<void>> read_to_end(std::string& bytes, size_t max_bytes, const char* too_long_text);

  // Writes every byte; a write that takes none fails with "write zero".
  Task<Result<void>> write_all(std::span<const uint8_t> bytes);
  Task<Result<void>> flush();
  Task<Result<void>> close();

 private:
  Task<Result<void>> fill();  // refills an empty buffer; end of stream leaves it empty

  std::unique_ptr<ByteStream> stream_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  size_t end_ = 0;
};

}  // namespace quorvel
