// Prints each named file's CRC-64/XZ in decimal, the value a server announces in its
// x-oss-hash-crc64ecma header. Usage: crc64sum FILE...  (one line per file: the number, a space and
// the name; with a single file, only the number).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "download/crc64.h"

namespace {

bool checksum(const char* path, unsigned long long& result) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  uint64_t state = quorvel::CRC64_XZ_INIT;
  std::vector<uint8_t> buffer(1 << 16);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    state = quorvel::crc64_xz_update(state, {buffer.data(), n});
  }
  const bool ok = !std::ferror(file);
  std::fclose(file);
  result = quorvel::crc64_xz_finish(state);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    unsigned long long crc;
    if (!checksum(argv[i], crc)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
      status = 1;
      continue;
    }
    if (argc == 2) {
      std::printf("%llu\n", crc);
    } else {
      std::printf("%llu %s\n", crc, argv[i]);
    }
  }
  return status;
}
