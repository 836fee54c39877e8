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

// "1 byte", "9 bytes".
inline std::string bytes(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace quorvel::check
