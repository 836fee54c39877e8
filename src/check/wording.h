// Small pieces of the findings' wording, shared by the judging functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "check/reply_facts.h"

namespace quorvel::check {

// "\"text\"", with bytes that are not printable ASCII shown as \xNN.
inline std::string quoted(std::string_view text) {
  return "\"" + printable(text) + "\"";
}
// For a std::string argument, argument-dependent lookup also finds std::quoted (GCC 14's library
// declares it here); this exact match is chosen over that template.
inline std::string quoted(const std::string& text) {
  return quoted(std::string_view(text));
}

// "1 byte", "9 bytes".
inline std::string bytes(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace quorvel::check
