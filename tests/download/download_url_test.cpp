#include "download/download_url.h"

#include <gtest/gtest.h>

#include "download/number.h"

namespace quorvel {
namespace {

std::string failure(std::string_view url) {
  auto parsed = parse_download_url(url);
  EXPECT_FALSE(parsed.ok()) << url;
  return parsed.ok() ? std::string() : error_text(parsed.error());
}

TEST(DownloadUrl, BareHostGivesPort443AndRootPath) {
  auto url = parse_download_url("https://example.test");
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(url->host, "example.test");
  EXPECT_EQ(url->port, 443);
  EXPECT_EQ(url->path, "/");
}

TEST(DownloadUrl, PortAndQueryKeptAsTheyAre) {
  const std::string text = "https://example.test:8443/Download/a%20b.exe?x=1&y=/z";
  auto url = parse_download_url(text);
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(url->host, "example.test");
  EXPECT_EQ(url->port, 8443);
  EXPECT_EQ(url->path, "/Download/a%20b.exe?x=1&y=/z");
  // The host is a slice of the URL text, not a copy.
  EXPECT_EQ(url->host.data(), text.data() + 8);
}

TEST(DownloadUrl, PortErrorsUseTheNumberReaderTexts) {
  EXPECT_EQ(failure("https://example.test:/x"), "cannot parse integer from empty string");
  EXPECT_EQ(failure("https://example.test:70000/x"), "number too large to fit in target type");
  EXPECT_EQ(failure("https://example.test:80a/x"), "invalid digit found in string");
  EXPECT_EQ(failure("https://example.test:+/x"), "invalid digit found in string");
  EXPECT_EQ(failure("https://example.test:-1/x"), "invalid digit found in string");
  auto plus = parse_download_url("https://example.test:+65535");
  ASSERT_TRUE(plus.ok());
  EXPECT_EQ(plus->port, 65535);
  EXPECT_EQ(failure("https://example.test:65536"), "number too large to fit in target type");
}

TEST(DownloadUrl, NeedsExactlyOneDoubleSlash) {
  EXPECT_EQ(failure("example.test/Download/file.exe"), "Invalid URL format");
  EXPECT_EQ(failure("https://example.test/Download//file.exe"), "Invalid URL format");
  EXPECT_EQ(failure("https://example.test////"), "Invalid URL format");
  EXPECT_EQ(failure(""), "Invalid URL format");
  // "///" holds one "//" followed by a slash: an empty host and the path "/x".
  auto url = parse_download_url("https:///x");
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(url->host, "");
  EXPECT_EQ(url->path, "/x");
}

TEST(DownloadUrl, SchemeIsNotExaminedAndPortStays443) {
  auto url = parse_download_url("http://example.test/Download/Micro/QuorvelLauncher.exe");
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(url->port, 443);
  EXPECT_EQ(url->path, "/Download/Micro/QuorvelLauncher.exe");
}

TEST(DownloadUrl, BuiltInUrlSplits) {
  auto url = parse_download_url(DOWNLOAD_URL);
  ASSERT_TRUE(url.ok()) << error_text(url.error());
  EXPECT_FALSE(url->host.empty());
  EXPECT_TRUE(std::string_view(url->path).ends_with("/QuorvelLauncher.exe"));
}

TEST(Number, ReadsU64WithOptionalPlus) {
  EXPECT_EQ(parse_u64("0").value(), 0u);
  EXPECT_EQ(parse_u64("+1000").value(), 1000u);
  EXPECT_EQ(parse_u64("18446744073709551615").value(), 18446744073709551615ull);
  EXPECT_EQ(error_text(parse_u64("18446744073709551616").error()),
            "number too large to fit in target type");
  EXPECT_EQ(error_text(parse_u64("").error()), "cannot parse integer from empty string");
  EXPECT_EQ(error_text(parse_u64(" 1").error()), "invalid digit found in string");
  EXPECT_EQ(error_text(parse_u64("++1").error()), "invalid digit found in string");
  // The first offending character decides.
  EXPECT_EQ(error_text(parse_u64("99999999999999999999x").error()),
            "number too large to fit in target type");
  EXPECT_EQ(error_text(parse_u64("1x99999999999999999999").error()),
            "invalid digit found in string");
}

}  // namespace
}  // namespace quorvel
