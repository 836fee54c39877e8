#include "runtime/env.h"

#include <algorithm>
#include <limits>

namespace quorvel {

std::optional<size_t> parse_unsigned(const std::string& text) {
  size_t i = (!text.empty() && text[0] == '+') ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  size_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    size_t digit = static_cast<size_t>(c - '0');
    if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t executor_thread_count(const std::optional<std::string>& value) {
  std::optional<size_t> n = value ? parse_unsigned(*value) : std::nullopt;
  return std::max<size_t>(n.value_or(1), 1);
}

size_t blocking_thread_limit(const std::optional<std::string>& value) {
  std::optional<size_t> n = value ? parse_unsigned(*value) : std::nullopt;
  return std::clamp<size_t>(n.value_or(500), 1, 10000);
}

}  // namespace quorvel
