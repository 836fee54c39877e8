#include "runtime/utf.h"

#include <cstdint>

namespace quorvel {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// The code point of a sequence utf8_sequence_length accepted.
char32_t decode(std::string_view bytes, size_t length) {
  const auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<uint8_t>(bytes[k])); };
  static constexpr char32_t LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = byte(0) & LEAD_BITS[length];
  for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (byte(k) & 0x3F);
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_utf16(std::wstring& out, char32_t cp) {
  if (cp >= 0x10000 && sizeof(wchar_t) == 2) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

// UTF-16 to UTF-8; an unpaired surrogate (or a value past Unicode) either fails the conversion or
// becomes U+FFFD.
std::optional<std::string> from_utf16(std::wstring_view text, bool lossy) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto unit = static_cast<char32_t>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<char32_t>(text[i + 1]) : 0;
    if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
      if (!lossy) return std::nullopt;
      unit = REPLACEMENT;
    }
    append_utf8(out, unit);
  }
  return out;
}

}  // namespace

size_t utf8_sequence_length(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t lead = byte(0);
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
  if (bytes.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t length = utf8_sequence_length(bytes);
    if (length == 0) return false;
    bytes.remove_prefix(length);
  }
  return true;
}

std::optional<std::string> utf16_to_utf8(std::wstring_view text) {
  return from_utf16(text, false);
}

std::string utf16_to_display_utf8(std::wstring_view text) {
  return *from_utf16(text, true);
}

std::optional<std::wstring> utf8_to_utf16(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t length = utf8_sequence_length(text);
    if (length == 0) return std::nullopt;
    append_utf16(out, decode(text, length));
    text.remove_prefix(length);
  }
  return out;
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    const size_t length = utf8_sequence_length(text);
    if (length == 0 || !is_unicode_whitespace(decode(text, length))) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    // Step back to the start of the last character.
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    const std::string_view last = text.substr(start);
    const size_t length = utf8_sequence_length(last);
    if (length != last.size() || !is_unicode_whitespace(decode(last, length))) break;
    text.remove_suffix(last.size());
  }
  return text;
}

}  // namespace quorvel
