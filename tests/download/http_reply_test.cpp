#include "download/http_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

std::string head_error(std::string_view reply) {
  auto checked = check_head_reply(reply);
  EXPECT_FALSE(checked.ok());
  return checked.ok() ? std::string() : error_text(checked.error());
}

std::vector<std::pair<HeaderName, std::string>> headers(std::string_view reply) {
  std::vector<std::pair<HeaderName, std::string>> result;
  for (const HeaderLine& line : recognised_header_lines(reply)) {
    result.emplace_back(line.name, std::string(line.value));
  }
  return result;
}

using Headers = std::vector<std::pair<HeaderName, std::string>>;

TEST(HeadReply, RedirectFailsWithWholeTrimmedReply) {
  const std::string reply =
      "HTTP/1.1 302 Found\r\nLocation: https://elsewhere.test/\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(head_error(reply),
            "HEAD 请求失败，响应: HTTP/1.1 302 Found\r\nLocation: https://elsewhere.test/\r\n"
            "Content-Length: 0");
}

TEST(HeadReply, TrimRemovesUnicodeWhitespaceToo) {
  EXPECT_EQ(head_error("\xE3\x80\x80 HTTP/1.1 500 Oops \xC2\x85\r\n"),
            "HEAD 请求失败，响应: HTTP/1.1 500 Oops");
}

TEST(HeadReply, Http10And3xxFail) {
  EXPECT_EQ(head_error("HTTP/1.0 200 OK\r\n\r\n"), "HEAD 请求失败，响应: HTTP/1.0 200 OK");
  EXPECT_EQ(head_error("HTTP/1.1 301 Moved\r\n\r\n"), "HEAD 请求失败，响应: HTTP/1.1 301 Moved");
  EXPECT_EQ(head_error("HTTP/1.1 20"), "HEAD 请求失败，响应: HTTP/1.1 20");
  EXPECT_EQ(head_error(""), "HEAD 请求失败，响应: ");
  EXPECT_EQ(head_error("http/1.1 200 OK\r\n"), "HEAD 请求失败，响应: http/1.1 200 OK");
}

TEST(HeadReply, StatusWithMoreDigitsPasses) {
  EXPECT_TRUE(check_head_reply("HTTP/1.1 2000 Odd\r\n\r\n").ok());
  EXPECT_TRUE(check_head_reply("HTTP/1.1 200").ok());
}

TEST(HeadReply, InvalidUtf8Fails) {
  EXPECT_EQ(head_error("HTTP/1.1 200 OK\r\nETag: \"\xFF\"\r\n\r\n"),
            "stream did not contain valid UTF-8");
  // Checked before the status: a bad reply with bad bytes reports the bytes.
  EXPECT_EQ(head_error("HTTP/1.1 404 \xC0\x80\r\n"), "stream did not contain valid UTF-8");
}

TEST(HeadReply, RecognisesThreeHeadersInLineOrder) {
  const std::string reply =
      "HTTP/1.1 200 OK\r\n"
      "ETag: \"abc-123\"\r\n"
      "Content-Length:  1000 \r\n"
      "x-oss-hash-crc64ecma: 11051210869376104954\r\n"
      "Server: nginx\r\n"
      "\r\n";
  EXPECT_EQ(headers(reply), (Headers{{HeaderName::ETag, "\"abc-123\""},
                                     {HeaderName::ContentLength, "1000"},
                                     {HeaderName::Crc64, "11051210869376104954"}}));
}

TEST(HeadReply, OtherSpellingsAreNotRecognised) {
  const std::string reply =
      "HTTP/1.1 200 OK\r\n"
      "content-length: 1000\r\n"
      "Etag: \"x\"\r\n"
      "ETag : \"y\"\r\n"
      "X-Oss-Hash-Crc64ecma: 5\r\n"
      "Content-Length : 7\r\n"
      "\r\n";
  EXPECT_EQ(headers(reply), Headers{});
}

TEST(HeadReply, DuplicatedHeadersListedTwice) {
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nETag: a\r\nContent-Length: 2\r\nETag: b\r\n\r\n";
  EXPECT_EQ(headers(reply), (Headers{{HeaderName::ContentLength, "1"},
                                     {HeaderName::ETag, "a"},
                                     {HeaderName::ContentLength, "2"},
                                     {HeaderName::ETag, "b"}}));
}

TEST(HeadReply, BareLineFeedsAndMissingFinalLineFeed) {
  const std::string reply = "HTTP/1.1 200 OK\nETag: W/\"q\"\r\r\nContent-Length: 5";
  // "\r\r\n" leaves one carriage return, which trimming removes.
  EXPECT_EQ(headers(reply),
            (Headers{{HeaderName::ETag, "W/\"q\""}, {HeaderName::ContentLength, "5"}}));
}

TEST(HeadReply, EmptyAndShortValues) {
  EXPECT_EQ(
      headers("ETag:\r\nETag:   \r\nContent-Length:\n"),
      (Headers{{HeaderName::ETag, ""}, {HeaderName::ETag, ""}, {HeaderName::ContentLength, ""}}));
  EXPECT_EQ(headers("ETag\r\nETa\r\n"), Headers{});
}

TEST(GetHead, AcceptsOkAndPartial) {
  EXPECT_TRUE(check_get_status_line("HTTP/1.1 200 OK\r\n").ok());
  EXPECT_TRUE(check_get_status_line("HTTP/1.1 206 Partial Content\r\n").ok());
}

TEST(GetHead, RangeNotSatisfiableFailsWithTrimmedStatusLine) {
  auto checked = check_get_status_line("HTTP/1.1 416 Requested Range Not Satisfiable\r\n");
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(error_text(checked.error()),
            "HTTP 请求失败，响应: HTTP/1.1 416 Requested Range Not Satisfiable");
  EXPECT_EQ(error_text(check_get_status_line("").error()), "HTTP 请求失败，响应: ");
  EXPECT_EQ(error_text(check_get_status_line("HTTP/1.0 200 OK\r\n").error()),
            "HTTP 请求失败，响应: HTTP/1.0 200 OK");
}

TEST(GetHead, InvalidUtf8Lines) {
  EXPECT_EQ(error_text(check_get_status_line("HTTP/1.1 200 \xED\xA0\x80\r\n").error()),
            "stream did not contain valid UTF-8");
  EXPECT_EQ(error_text(check_get_head_line("X: \xF4\x90\x80\x80\r\n").error()),
            "stream did not contain valid UTF-8");
  EXPECT_TRUE(check_get_head_line("X: \xF4\x8F\xBF\xBF\r\n").ok());
}

TEST(GetHead, OnlyCrLfEndsTheHead) {
  EXPECT_TRUE(is_end_of_head("\r\n"));
  EXPECT_FALSE(is_end_of_head("\n"));
  EXPECT_FALSE(is_end_of_head(" \r\n"));
}

}  // namespace
}  // namespace quorvel
