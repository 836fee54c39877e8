#include "download/number.h"

#include <limits>

namespace quorvel {

namespace {

Result<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
  if (text.empty()) {
    return Error::kind(ErrorKind::InvalidInput, "cannot parse integer from empty string");
  }
  std::string_view digits = text;
  if (digits.front() == '+' && digits.size() > 1) digits.remove_prefix(1);
  uint64_t value = 0;
  for (char c : digits) {
    // The digit is checked before the overflow, so "70000x" reports the overflow only when the
    // digit that overflows comes first.
    if (c < '0' || c > '9') {
      return Error::kind(ErrorKind::InvalidInput, "invalid digit found in string");
    }
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return Error::kind(ErrorKind::InvalidInput, "number too large to fit in target type");
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

Result<uint64_t> parse_u64(std::string_view text) {
  return parse_unsigned(text, std::numeric_limits<uint64_t>::max());
}

Result<uint16_t> parse_u16(std::string_view text) {
  auto value = parse_unsigned(text, std::numeric_limits<uint16_t>::max());
  if (!value) return value.take_error();
  return static_cast<uint16_t>(*value);
}

}  // namespace quorvel
