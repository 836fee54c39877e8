#include <cstdlib>

#include "runtime/env.h"
#include "runtime/utf.h"

namespace quorvel {

std::optional<std::string> read_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !utf8_to_utf16(value)) return std::nullopt;
  return std::string(value);
}

}  // namespace quorvel
