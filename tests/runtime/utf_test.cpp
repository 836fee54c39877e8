#include "runtime/utf.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

const std::wstring LONE_HIGH(1, static_cast<wchar_t>(0xD800));
const std::wstring LONE_LOW(1, static_cast<wchar_t>(0xDC00));

TEST(Utf, Utf8IsCheckedStrictlyAndConvertedBothWays) {
  struct Case {
    std::string_view bytes;
    std::optional<std::wstring> wide;  // none: not UTF-8
  } cases[] = {
      {"abc", L"abc"},
      {"\xc3\xa9\xe4\xb8\xad", L"\u00e9\u4e2d"},
      {"\xc3", std::nullopt},          // cut short
      {"\xe4\xb8", std::nullopt},      // cut short
      {"\xc0\xaf", std::nullopt},      // overlong
      {"\xc1\xbf", std::nullopt},      // overlong
      {"\xe0\x9f\xbf", std::nullopt},  // overlong
      {"\xf0\x8f\xbf\xbf", std::nullopt},
      {"\xed\xa0\x80", std::nullopt},      // a surrogate
      {"\xf5\x80\x80\x80", std::nullopt},  // past U+10FFFF
      {"\x80", std::nullopt},
      {"\xff", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(is_valid_utf8(c.bytes), c.wide.has_value());
    EXPECT_EQ(utf8_to_utf16(c.bytes), c.wide);
    if (c.wide) {
      EXPECT_EQ(utf16_to_utf8(*c.wide), c.bytes);
    }
  }
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98\x80").value().size(), sizeof(wchar_t) == 2 ? 2u : 1u);
}

TEST(Utf, UnpairedSurrogatesFailTheStrictFormAndShowAsReplacementInTheDisplayForm) {
  EXPECT_EQ(utf16_to_utf8(LONE_HIGH), std::nullopt);
  EXPECT_EQ(utf16_to_utf8(L"a" + LONE_LOW), std::nullopt);
  EXPECT_EQ(utf16_to_display_utf8(L"C:\\\u6e38\u620f\\a" + LONE_HIGH + L"b" + LONE_LOW),
            "C:\\\xe6\xb8\xb8\xe6\x88\x8f\\a\xef\xbf\xbd"
            "b\xef\xbf\xbd");
  EXPECT_EQ(utf16_to_display_utf8(L""), "");
}

TEST(Utf, TrimsOnlyUnicodeWhitespace) {
  EXPECT_EQ(trim_unicode_whitespace(" \t\xE2\x80\x83x y\xE2\x80\xA8\r\n"), "x y");
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // zero width: kept
  EXPECT_EQ(trim_unicode_whitespace("   "), "");
  EXPECT_EQ(trim_unicode_whitespace("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

}  // namespace
}  // namespace quorvel
