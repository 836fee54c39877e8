#include "download/diagnostic_log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace quorvel::test {
namespace {

// One record of what happened, in order: "stream <line>" for the stream, the log's own bytes else.
struct Events {
  std::mutex mutex;
  std::vector<std::string> seen;
  void add(std::string event) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(event));
  }
};

class FakeLogFile : public LogFile {
 public:
  explicit FakeLogFile(Events& events) : events_(events) {}
  LocalTime now() override { return {2026, 3, 7, 9, 5, 2, ++millisecond_ % 1000}; }
  void append(std::string_view bytes) override { events_.add(std::string(bytes)); }

 private:
  Events& events_;
  int millisecond_ = 0;
};

TEST(DiagnosticLog, LineIsStampedTaggedAndKeptOnOneValidUtf8Line) {
  const LocalTime t{2026, 12, 8, 14, 3, 7, 5};
  EXPECT_EQ(log_line(t, "err", "下载失败: 拒绝访问。 (os error 5)"),
            "2026-12-08 14:03:07.005 err 下载失败: 拒绝访问。 (os error 5)\n");
  EXPECT_EQ(log_line(t, "out", ""), "2026-12-08 14:03:07.005 out \n");
  // A system message with an inner line break, a server's stray bytes, a cut-off sequence.
  EXPECT_EQ(
      log_line(t, "out", "a\r\nb\xFF\xC3(\xE4\xB8"),
      "2026-12-08 14:03:07.005 out a\\r\\nb\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\n");
  EXPECT_EQ(log_header("1.0.0", "https://h/x.exe", "Windows 6.1.7601"),
            "QuorvelSetup 1.0.0, https://h/x.exe, Windows 6.1.7601");
  EXPECT_FALSE(log_needs_rotation(LOG_ROTATION_SIZE));
  EXPECT_TRUE(log_needs_rotation(LOG_ROTATION_SIZE + 1));
}

TEST(DiagnosticLog, HeaderFirstThenEachLineAfterItsStreamInPrintedOrder) {
  Events events;
  set_output_sink([&](OutputStream s, std::string_view line) {
    events.add((s == OutputStream::Out ? "stream out " : "stream err ") + std::string(line));
  });
  start_diagnostic_log(std::make_shared<FakeLogFile>(events), "QuorvelSetup 1.0.0");
  constexpr int THREADS = 4, LINES = 200;
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([i] {
      for (int n = 0; n < LINES; ++n) {
        print_line(i % 2 ? OutputStream::Err : OutputStream::Out, std::to_string(i * LINES + n));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  start_diagnostic_log(nullptr, "");
  print_line(OutputStream::Out, "after the log was turned off");
  set_output_sink({});

  ASSERT_EQ(events.seen.size(), 1u + 2 * THREADS * LINES + 1);
  EXPECT_EQ(events.seen[0], "2026-03-07 09:05:02.001 run QuorvelSetup 1.0.0\n");
  for (size_t i = 1; i + 1 < events.seen.size(); i += 2) {
    // Every stream write is followed at once by its log line, whatever the other threads do.
    const std::string& stream = events.seen[i];
    const std::string& logged = events.seen[i + 1];
    ASSERT_EQ(stream.substr(0, 7), "stream ");
    ASSERT_EQ(logged.substr(24), stream.substr(7) + "\n");
  }
  EXPECT_EQ(events.seen.back(), "stream out after the log was turned off");
}

}  // namespace
}  // namespace quorvel::test
