// UTF-8 checks and trimming for the texts read from the server and from the entity-tag file.
#pragma once

#include <string_view>

namespace quorvel {

inline constexpr std::string_view INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Removes leading and trailing Unicode white space (the White_Space property, U+0085 and U+3000
// included) from valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace quorvel
