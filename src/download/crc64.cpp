#include "download/crc64.h"

#include <array>

namespace quorvel {

namespace {

constexpr uint64_t REFLECTED_POLYNOMIAL = 0xC96C5795D7870F42;

constexpr std::array<uint64_t, 256> make_table() {
  std::array<uint64_t, 256> table{};
  for (uint64_t i = 0; i < 256; ++i) {
    uint64_t entry = i;
    for (int bit = 0; bit < 8; ++bit) {
      entry = (entry & 1) ? (entry >> 1) ^ REFLECTED_POLYNOMIAL : entry >> 1;
    }
    table[i] = entry;
  }
  return table;
}

constexpr std::array<uint64_t, 256> TABLE = make_table();

}  // namespace

uint64_t crc64_xz_update(uint64_t state, std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) state = TABLE[(state ^ byte) & 0xFF] ^ (state >> 8);
  return state;
}

uint64_t crc64_xz(std::span<const uint8_t> bytes) {
  return crc64_xz_finish(crc64_xz_update(CRC64_XZ_INIT, bytes));
}

}  // namespace quorvel
