#include "download/crc64.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace quorvel {
namespace {

std::span<const uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Crc64, CheckValue) {
  EXPECT_EQ(crc64_xz(bytes("123456789")), 0x995DC9BBDF1939FAull);
  EXPECT_EQ(crc64_xz(bytes("123456789")), 11051210869376104954ull);
}

TEST(Crc64, EmptyIsZero) {
  EXPECT_EQ(crc64_xz({}), 0u);
}

TEST(Crc64, PiecesEqualWhole) {
  std::vector<uint8_t> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  uint64_t state = CRC64_XZ_INIT;
  state = crc64_xz_update(state, std::span(data).first(3333));
  state = crc64_xz_update(state, std::span(data).subspan(3333));
  EXPECT_EQ(crc64_xz_finish(state), crc64_xz(data));
}

TEST(Crc64, Residue) {
  // Appending the little-endian CRC to the data leaves the catalogue's residue in the register.
  std::vector<uint8_t> data = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const uint64_t crc = crc64_xz(data);
  for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  EXPECT_EQ(~crc64_xz(data), 0x49958C9ABD7D353Full);
}

}  // namespace
}  // namespace quorvel
