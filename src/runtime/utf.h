// UTF-8 and UTF-16 (Windows' wide strings) in one place: strict validation and conversion, where an
// invalid sequence or an unpaired surrogate makes the text invalid and nothing is replaced
// silently; the Unicode white-space trim of texts read from servers and from the system; and the
// lossy form for display, where whatever is not valid shows as U+FFFD.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// The length of the valid UTF-8 sequence at the start of bytes, or 0 when it does not start with
// one (or is empty).
size_t utf8_sequence_length(std::string_view bytes);

std::optional<std::string> utf16_to_utf8(std::wstring_view text);
std::optional<std::wstring> utf8_to_utf16(std::string_view text);

// UTF-8 for showing: an unpaired surrogate becomes U+FFFD.
std::string utf16_to_display_utf8(std::wstring_view text);

// The White_Space property (U+0085 and U+3000 included).
bool is_unicode_whitespace(char32_t c);

// Removes leading and trailing Unicode white space from valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace quorvel
