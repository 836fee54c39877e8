#pragma once

#include <cstddef>
#include <string>

namespace quorvel {

// The value in decimal, zero-padded to at least `width` digits (printf's "%0*u" without the C
// runtime's formatter, which would bring its floating-point conversion into the program).
inline void append_decimal(std::string& out, unsigned value, size_t width) {
  char digits[10];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (n < width) out.append(width - n, '0');
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace quorvel
