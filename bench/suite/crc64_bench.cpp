// Speed of the byte-wise CRC-64/XZ over a 64 MiB buffer in memory: the median of several passes.
//
//   crc64_bench [passes]      (default 7)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "download/crc64.h"

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::vector<uint8_t> data(64u << 20);
  uint32_t x = 0x12345678;
  for (uint8_t& byte : data) {  // xorshift: no page stays untouched, no pattern to exploit
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  std::vector<double> rates;
  uint64_t crc = 0;
  for (int i = 0; i < passes; ++i) {
    const auto start = std::chrono::steady_clock::now();
    crc ^= quorvel::crc64_xz(data);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(static_cast<double>(data.size()) / seconds / 1e6);
  }
  std::sort(rates.begin(), rates.end());
  std::printf("crc64_xz: median %.1f MB/s (min %.1f, max %.1f, %d passes of 64 MiB) [%016llx]\n",
              rates[rates.size() / 2], rates.front(), rates.back(), passes,
              static_cast<unsigned long long>(crc));
  return 0;
}
