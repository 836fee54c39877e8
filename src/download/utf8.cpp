#include "download/utf8.h"

#include <cstdint>

namespace quorvel {

namespace {

// Length of the valid sequence starting at bytes[i], or 0 when it is not valid.
size_t sequence_length(std::string_view bytes, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

uint32_t decode(std::string_view bytes, size_t i, size_t length) {
  const auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[k])); };
  switch (length) {
    case 1:
      return byte(i);
    case 2:
      return ((byte(i) & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    case 3:
      return ((byte(i) & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
    default:
      return ((byte(i) & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
             (byte(i + 3) & 0x3F);
  }
}

bool is_whitespace(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = sequence_length(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t length = sequence_length(text, begin);
    if (length == 0 || !is_whitespace(decode(text, begin, length))) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last character.
    size_t start = end - 1;
    while (start > begin && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    const size_t length = sequence_length(text, start);
    if (length != end - start || !is_whitespace(decode(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace quorvel
