#include "download/files.h"

namespace quorvel {

Result<void> write_all(File& file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto n = file.write(bytes);
    if (!n) return n.take_error();
    if (*n == 0) return Error::kind(ErrorKind::WriteZero, "write zero");
    bytes = bytes.subspan(*n);
  }
  return success();
}

}  // namespace quorvel
