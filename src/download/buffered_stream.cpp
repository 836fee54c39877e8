#include "download/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace quorvel {

BufferedStream::BufferedStream(std::unique_ptr<ByteStream> stream)
    : stream_(std::move(stream)), buffer_(READ_BUFFER_BYTES) {}

Task<Result<void>> BufferedStream::fill() {
  auto n = co_await stream_->read(buffer_);
  if (!n) co_return n.take_error();
  begin_ = 0;
  end_ = *n;
  co_return success();
}

Task<Result<size_t>> BufferedStream::read(std::span<uint8_t> buffer) {
  if (begin_ == end_) {
    if (buffer.size() >= buffer_.size()) co_return co_await stream_->read(buffer);
    auto filled = co_await fill();
    if (!filled) co_return filled.take_error();
  }
  const size_t n = std::min(buffer.size(), end_ - begin_);
  if (n > 0) std::memcpy(buffer.data(), buffer_.data() + begin_, n);
  begin_ += n;
  co_return n;
}

Task<Result<size_t>> BufferedStream::read_line(std::string& bytes, size_t max_bytes,
                                               const char* too_long_text) {
  size_t appended = 0;
  for (;;) {
    if (begin_ == end_) {
      auto filled = co_await fill();
      if (!filled) co_return filled.take_error();
      if (begin_ == end_) co_return appended;  // end of stream
    }
    const uint8_t* start = buffer_.data() + begin_;
    const auto* feed = static_cast<const uint8_t*>(std::memchr(start, '\n', end_ - begin_));
    const size_t take = feed ? static_cast<size_t>(feed - start) + 1 : end_ - begin_;
    if (appended + take > max_bytes) {
      co_return Error::kind(ErrorKind::InvalidData, too_long_text);
    }
    bytes.append(reinterpret_cast<const char*>(start), take);
    appended += take;
    begin_ += take;
    if (feed) co_return appended;
  }
}

Task<Result<void>> BufferedStream::read_to_end(std::string& bytes, size_t max_bytes,
                                               const char* too_long_text) {
  size_t total = 0;
  for (;;) {
    if (begin_ == end_) {
      auto filled = co_await fill();
      if (!filled) co_return filled.take_error();
      if (begin_ == end_) co_return success();
    }
    const size_t take = end_ - begin_;
    if (total + take > max_bytes) co_return Error::kind(ErrorKind::InvalidData, too_long_text);
    bytes.append(reinterpret_cast<const char*>(buffer_.data() + begin_), take);
    total += take;
    begin_ = end_;
  }
}

Task<Result<void>> BufferedStream::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto n = co_await stream_->write(bytes);
    if (!n) co_return n.take_error();
    if (*n == 0) co_return Error::kind(ErrorKind::WriteZero, "write zero");
    bytes = bytes.subspan(std::min(*n, bytes.size()));
  }
  co_return success();
}

Task<Result<void>> BufferedStream::flush() {
  co_return co_await stream_->flush();
}

Task<Result<void>> BufferedStream::close() {
  co_return co_await stream_->close();
}

}  // namespace quorvel
