#include "download/retry_after.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

constexpr int64_t NOV_6_1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(RetryAfter, ValuesAsSecondsOrDates) {
  struct Row {
    std::string_view value;
    int64_t now;
    std::optional<int64_t> seconds;
  };
  const Row rows[] = {
      {"20", 0, 20},
      {" 0 ", 0, 0},
      {"120\r", 0, 120},
      {"99999999999999999999999", 0, int64_t{1} << 40},  // saturates instead of overflowing
      {"Sun, 06 Nov 1994 08:49:37 GMT", NOV_6_1994 - 90, 90},
      {"Sunday, 06-Nov-94 08:49:37 GMT", NOV_6_1994 - 90, 90},
      {"Sun Nov  6 08:49:37 1994", NOV_6_1994 - 90, 90},
      {"Sun Nov 16 08:49:37 1994", NOV_6_1994, 10 * 86400},
      {"Sun, 06 Nov 1994 08:49:37 GMT", NOV_6_1994 + 5, 0},  // a date gone by: at once
      {"Tue, 29 Feb 2028 00:00:00 GMT", 1835395200 - 1, 1},  // a leap day
      {"Wed, 29 Feb 2027 00:00:00 GMT", 0, std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", 0, std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 UTC", 0, std::nullopt},
      {"Sun, 6 Nov 1994 08:49:37 GMT", 0, std::nullopt},
      {"-5", 0, std::nullopt},
      {"+5", 0, std::nullopt},
      {"5s", 0, std::nullopt},
      {"1.5", 0, std::nullopt},
      {"", 0, std::nullopt},
      {"soon", 0, std::nullopt},
  };
  for (const Row& row : rows) {
    auto wait = parse_retry_after(row.value, row.now);
    ASSERT_EQ(wait.has_value(), row.seconds.has_value()) << row.value;
    if (wait) {
      EXPECT_EQ(wait->count(), *row.seconds) << row.value;
    }
  }
}

TEST(RetryAfter, TwoDigitYearsAreNeverMoreThanFiftyYearsAhead) {
  EXPECT_EQ(parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT", 2026), NOV_6_1994);
  auto in_2030 = parse_http_date("Friday, 01-Feb-30 00:00:00 GMT", 2026);
  ASSERT_TRUE(in_2030);
  EXPECT_EQ(*in_2030, 1896134400);
}

TEST(RetryAfter, FromARefusedReplysHead) {
  struct Row {
    std::string_view head;
    std::optional<int64_t> seconds;
    std::string_view value = {};
  };
  const Row rows[] = {
      {"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 20\r\n\r\n", 20, "20"},
      {"HTTP/1.1 429 Too Many Requests\r\nretry-after:7\r\n", 7, "7"},
      // Against the server's own clock, not the player's.
      {"HTTP/1.1 503 x\r\nDate: Sun, 06 Nov 1994 08:48:37 GMT\r\n"
       "Retry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n",
       60, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"HTTP/1.1 503 x\r\nDate: garbage\r\nRetry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n", 37,
       "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"HTTP/1.1 500 Internal Server Error\r\nRetry-After: 20\r\n", std::nullopt},
      {"HTTP/1.1 5030 x\r\nRetry-After: 20\r\n", std::nullopt},
      {"HTTP/1.1 503 x\r\nX-Retry-After: 20\r\n", std::nullopt},
      {"HTTP/1.1 503 x\r\nRetry-After: later\r\n", std::nullopt},
      {"Retry-After: 20\r\nHTTP/1.1 503 x\r\n", std::nullopt},
      {"HTTP/2 503 x\r\nRetry-After: 20\r\n", std::nullopt},
      {"HTTP/1.0 503 x\r\nRetry-After: 20\r\n", 20, "20"},
      {"HTTP/1.1 503 x", std::nullopt},
  };
  for (const Row& row : rows) {
    auto found = retry_after_of(row.head, NOV_6_1994 - 37);
    ASSERT_EQ(found.has_value(), row.seconds.has_value()) << row.head;
    if (!found) continue;
    EXPECT_EQ(found->wait.count(), *row.seconds) << row.head;
    EXPECT_EQ(found->value, row.value);
  }
}

}  // namespace
}  // namespace quorvel
