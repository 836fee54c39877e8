#include "runtime/utf.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(Utf, RoundTripsAsciiAndWideCharacters) {
  EXPECT_EQ(utf16_to_utf8(L"abc"), "abc");
  EXPECT_EQ(utf16_to_utf8(L"\u00e9\u4e2d"), "\xc3\xa9\xe4\xb8\xad");
  EXPECT_EQ(utf8_to_utf16("\xc3\xa9\xe4\xb8\xad"), std::wstring(L"\u00e9\u4e2d"));
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98\x80").value().size(), sizeof(wchar_t) == 2 ? 2u : 1u);
}

TEST(Utf, RejectsUnpairedSurrogatesAndBrokenUtf8) {
  std::wstring lone_high(1, static_cast<wchar_t>(0xD800));
  std::wstring lone_low = L"a" + std::wstring(1, static_cast<wchar_t>(0xDC00));
  EXPECT_EQ(utf16_to_utf8(lone_high), std::nullopt);
  EXPECT_EQ(utf16_to_utf8(lone_low), std::nullopt);
  EXPECT_EQ(utf8_to_utf16("\xc3"), std::nullopt);          // cut short
  EXPECT_EQ(utf8_to_utf16("\xc0\xaf"), std::nullopt);      // overlong
  EXPECT_EQ(utf8_to_utf16("\xed\xa0\x80"), std::nullopt);  // a surrogate
  EXPECT_EQ(utf8_to_utf16("\xff"), std::nullopt);
}

}  // namespace
}  // namespace quorvel
