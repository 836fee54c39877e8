#include "download/fingerprint.h"

namespace quorvel {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool names(std::string_view fingerprint, const uint8_t* digest) {
  if (!is_sha256_fingerprint(fingerprint)) return false;
  for (size_t i = 0; i < 32; ++i) {
    if (hex_digit(fingerprint[2 * i]) * 16 + hex_digit(fingerprint[2 * i + 1]) != digest[i])
      return false;
  }
  return true;
}

}  // namespace

bool is_sha256_fingerprint(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (hex_digit(c) < 0) return false;
  }
  return true;
}

bool any_fingerprint_names(std::span<const std::string_view> fingerprints, Bytes digests) {
  for (std::string_view fingerprint : fingerprints) {
    for (size_t at = 0; at + 32 <= digests.size(); at += 32) {
      if (names(fingerprint, digests.data() + at)) return true;
    }
  }
  return false;
}

}  // namespace quorvel
