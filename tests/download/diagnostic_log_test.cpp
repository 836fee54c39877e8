#include "download/diagnostic_log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace quorvel::test {
namespace {

const LocalTime TIME{2026, 12, 8, 14, 3, 7, 5};

TEST(DiagnosticLog, LineIsStampedTaggedAndKeptOnOneValidUtf8Line) {
  EXPECT_EQ(log_line(TIME, "err", "下载失败: 拒绝访问。 (os error 5)"),
            "2026-12-08 14:03:07.005 err 下载失败: 拒绝访问。 (os error 5)\n");
  // A system message with an inner line break, a server's stray bytes, a cut-off sequence.
  EXPECT_EQ(
      log_line(TIME, "out", "a\r\nb\xFF\xC3(\xE4\xB8"),
      "2026-12-08 14:03:07.005 out a\\r\\nb\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\n");
  EXPECT_EQ(log_header("1.0.0", "https://h/x.exe", "Windows 6.1.7601"),
            "QuorvelSetup 1.0.0, https://h/x.exe, Windows 6.1.7601");
  EXPECT_FALSE(log_needs_rotation(LOG_ROTATION_SIZE));
  EXPECT_TRUE(log_needs_rotation(LOG_ROTATION_SIZE + 1));
}

// Records the stream's writes and the log's, in one sequence.
struct Recorder : LogFile {
  std::mutex mutex;
  std::vector<std::string> seen;
  LocalTime now() override { return TIME; }
  void append(std::string_view bytes) override { add(std::string(bytes)); }
  void add(std::string event) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(event));
  }
};

TEST(DiagnosticLog, HeaderFirstThenEachLineRightAfterItsStream) {
  auto recorder = std::make_shared<Recorder>();
  set_output_sink([&](OutputStream s, std::string_view line) {
    recorder->add((s == OutputStream::Out ? "out " : "err ") + std::string(line) + "\n");
  });
  start_diagnostic_log(recorder, "QuorvelSetup 1.0.0");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] {
      for (int n = 0; n < 200; ++n)
        print_line(i % 2 ? OutputStream::Err : OutputStream::Out, std::to_string(i * 200 + n));
    });
  }
  for (std::thread& t : threads) t.join();
  start_diagnostic_log(nullptr, "");
  print_line(OutputStream::Out, "after the log was turned off");
  set_output_sink({});

  const std::vector<std::string>& seen = recorder->seen;
  ASSERT_EQ(seen.size(), 1u + 2 * 800 + 1);
  EXPECT_EQ(seen[0], "2026-12-08 14:03:07.005 run QuorvelSetup 1.0.0\n");
  for (size_t i = 1; i + 1 < seen.size(); i += 2) {
    // Whatever the other threads do, a stream write is followed at once by its own log line.
    ASSERT_EQ(seen[i + 1], "2026-12-08 14:03:07.005 " + seen[i]);
  }
  EXPECT_EQ(seen.back(), "out after the log was turned off\n");
}

}  // namespace
}  // namespace quorvel::test
