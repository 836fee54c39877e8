#include "download/retry_policy.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

AttemptReport mismatch(uint64_t crc, std::string etag, size_t url = 0) {
  AttemptReport report;
  report.checksum_mismatch = true;
  report.url_index = url;
  report.announced = true;
  report.announced_crc = crc;
  report.announced_etag = std::move(etag);
  return report;
}

AttemptReport failure(size_t url = 0, std::optional<seconds> retry_after = std::nullopt) {
  AttemptReport report;
  report.url_index = url;
  report.retry_after = retry_after;
  return report;
}

AttemptReport cut(size_t url) {
  AttemptReport report = failure(url);
  report.cut_mid_body = true;
  return report;
}

struct Expected {
  size_t url;
  int64_t wait_ms;
  bool usual = false;
  bool keep = false;
};

// Each row: the policy's answers to a sequence of attempts, with the jitter's value.
struct Row {
  const char* name;
  size_t urls;
  double jitter;
  std::vector<AttemptReport> attempts;
  std::vector<Expected> expected;
};

TEST(RetryPolicy, Table) {
  const Row rows[] = {
      {"a failure pauses as usual",
       1,
       0.5,
       {failure(), failure()},
       {{0, 3000, true}, {0, 3000, true}}},
      {"the same wrong header: at once, then 3 s doubling to 2 minutes",
       1,
       0.0,
       std::vector<AttemptReport>(10, mismatch(7, "\"a\"")),
       {{0, 0},
        {0, 3000},
        {0, 6000},
        {0, 12000},
        {0, 24000},
        {0, 48000},
        {0, 96000},
        {0, 120000},
        {0, 120000},
        {0, 120000}}},
      {"mismatch waits are shortened by chance, never lengthened",
       1,
       0.5,
       std::vector<AttemptReport>(3, mismatch(7, "\"a\"")),
       {{0, 0}, {0, 2700}, {0, 5400}}},
      {"another checksum or tag starts the count afresh",
       1,
       0.0,
       {mismatch(7, "\"a\""), mismatch(7, "\"a\""), mismatch(8, "\"a\""), mismatch(8, "\"a\""),
        mismatch(8, "\"b\"")},
       {{0, 0}, {0, 3000}, {0, 0}, {0, 3000}, {0, 0}}},
      {"a failure that announced nothing keeps the count",
       1,
       0.0,
       {mismatch(7, "\"a\""), mismatch(7, "\"a\""), failure(), mismatch(7, "\"a\"")},
       {{0, 0}, {0, 3000}, {0, 3000, true}, {0, 6000}}},
      {"Retry-After is honoured, lengthened by chance, capped at 10 minutes",
       1,
       0.5,
       {failure(0, seconds(20)), failure(0, seconds(3600)), failure(0, seconds(590)),
        failure(0, seconds(2)), failure(0, seconds(0))},
       {{0, 22000}, {0, 600000}, {0, 600000}, {0, 3000, true}, {0, 3000, true}}},
      {"mirrors: the next URL at once, the pause once a round before the primary",
       3,
       0.0,
       {failure(0), failure(1), failure(2), failure(0), mismatch(1, "\"m\"", 1), failure(2)},
       {{1, 0}, {2, 0}, {0, 3000, true}, {1, 0}, {2, 0}, {0, 3000, true}}},
      {"mirrors: the round takes its longest wait",
       2,
       0.0,
       {failure(0, seconds(20)), failure(1), failure(0), mismatch(5, "\"x\"", 1)},
       {{1, 0}, {0, 20000}, {1, 0}, {0, 3000, true}}},
      {"a cut mid-body resumes on its host",
       2,
       0.0,
       {failure(1), cut(1)},
       {{0, 3000, true}, {1, 3000, true, true}}},
  };
  for (const Row& row : rows) {
    RetryPolicy policy(row.urls, [&] { return row.jitter; });
    ASSERT_EQ(row.attempts.size(), row.expected.size()) << row.name;
    for (size_t i = 0; i < row.attempts.size(); ++i) {
      const NextAttempt next = policy.after(row.attempts[i]);
      const Expected& want = row.expected[i];
      EXPECT_EQ(next.url_index, want.url) << row.name << " #" << i;
      EXPECT_EQ(next.wait.count(), want.wait_ms) << row.name << " #" << i;
      EXPECT_EQ(next.usual_pause, want.usual) << row.name << " #" << i;
      EXPECT_EQ(next.keep_files, want.keep) << row.name << " #" << i;
    }
  }
}

TEST(RetryPolicy, RandomJitterStaysInItsRange) {
  auto jitter = random_jitter();
  for (int i = 0; i < 1000; ++i) {
    const double value = jitter();
    ASSERT_GE(value, 0.0);
    ASSERT_LT(value, 1.0);
  }
}

}  // namespace
}  // namespace quorvel
