// CRC-64/XZ (reflected polynomial 0xC96C5795D7870F42, all-ones start and final inversion), the
// checksum the download server announces in decimal.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

uint64_t crc64_xz(std::span<const uint8_t> bytes);

// For data that arrives in pieces: start with CRC64_XZ_INIT, feed every piece, then finish.
inline constexpr uint64_t CRC64_XZ_INIT = ~uint64_t{0};
uint64_t crc64_xz_update(uint64_t state, std::span<const uint8_t> bytes);
inline uint64_t crc64_xz_finish(uint64_t state) {
  return ~state;
}

}  // namespace quorvel
