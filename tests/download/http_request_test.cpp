#include "download/http_request.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(HttpRequest, HeadBytes) {
  EXPECT_EQ(format_head_request("/Download/Micro/QuorvelLauncher.exe", "dl.example.test"),
            "HEAD /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\n"
            "Host: dl.example.test\r\n"
            "Connection: close\r\n"
            "\r\n");
}

TEST(HttpRequest, GetFromZeroHasNoRange) {
  EXPECT_EQ(format_get_request("/a?b=c", "h", 0),
            "GET /a?b=c HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
}

TEST(HttpRequest, GetWithOffsetHasRange) {
  EXPECT_EQ(format_get_request("/f", "h", 1000),
            "GET /f HTTP/1.1\r\nHost: h\r\nConnection: close\r\nRange: bytes=1000-\r\n\r\n");
  EXPECT_EQ(format_get_request("/f", "h", 18446744073709551615ull),
            "GET /f HTTP/1.1\r\nHost: h\r\nConnection: close\r\n"
            "Range: bytes=18446744073709551615-\r\n\r\n");
}

}  // namespace
}  // namespace quorvel
