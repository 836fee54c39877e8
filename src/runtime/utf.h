// Strict conversions between UTF-16 (Windows' wide strings) and UTF-8. An unpaired surrogate makes
// the UTF-16 text invalid; nothing is replaced silently.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

std::optional<std::string> utf16_to_utf8(std::wstring_view text);
std::optional<std::wstring> utf8_to_utf16(std::string_view text);

}  // namespace quorvel
