// The byte stream the HTTP exchange talks over, and the connector that opens one. On Windows the
// stream is a TLS session (SecureStream); tests put an in-memory stream in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  virtual Task<Result<size_t>> read(std::span<uint8_t> buffer) = 0;        // 0 = end of stream
  virtual Task<Result<size_t>> write(std::span<const uint8_t> bytes) = 0;  // bytes taken
  virtual Task<Result<void>> flush() = 0;
  virtual Task<Result<void>> close() = 0;  // TLS close_notify
};

// Opens a connection for the HTTP exchange: resolve + TCP connect + TLS handshake on Windows.
using Connector =
    std::function<Task<Result<std::unique_ptr<ByteStream>>>(std::string host, uint16_t port)>;

}  // namespace quorvel
