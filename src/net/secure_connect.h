// The connection the download engine opens for each HTTP exchange: TCP to the host, then a TLS
// session with the program's settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

Task<Result<std::unique_ptr<ByteStream>>> connect_secure(std::string host, uint16_t port);

}  // namespace quorvel
