// Decimal number reading with an optional leading "+", for ports and header values. Failures carry
// the texts the download reports: "cannot parse integer from empty string", "invalid digit found in
// string", "number too large to fit in target type".
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/error.h"

namespace quorvel {

Result<uint64_t> parse_u64(std::string_view text);
Result<uint16_t> parse_u16(std::string_view text);

}  // namespace quorvel
