#include "download/files.h"

#include <cstdint>

namespace quorvel {

Result<std::vector<uint8_t>> read_whole_file(const std::string& path) {
  auto file = File::open_read(path);
  if (!file) return file.take_error();
  // Sized from the metadata with room for the final empty read, so a file that does not change
  // while it is read is held in one allocation; a growing file doubles the buffer.
  auto size = file->size();
  size_t capacity = 64 * 1024;
  if (size && *size < SIZE_MAX - capacity) capacity += static_cast<size_t>(*size);
  std::vector<uint8_t> contents(capacity);
  size_t used = 0;
  for (;;) {
    if (used == contents.size()) contents.resize(contents.size() * 2);
    auto n = file->read(std::span(contents).subspan(used));
    if (!n) return n.take_error();
    if (*n == 0) break;
    used += *n;
  }
  (void)file->close();
  contents.resize(used);
  return contents;
}

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
