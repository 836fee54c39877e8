#include "runtime/support_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/fatal.h"
#include "support/captured_lines.h"

namespace quorvel::test {
namespace {

const LocalTime TIME{2026, 12, 8, 14, 3, 7, 5};
const std::string STAMP = "2026-12-08 14:03:07.005 ";

TEST(SupportLog, LineIsStampedTaggedAndKeptOnOneValidUtf8Line) {
  EXPECT_EQ(log_line(TIME, "err", "下载失败: 拒绝访问。 (os error 5)"),
            STAMP + "err 下载失败: 拒绝访问。 (os error 5)\n");
  // A system message with an inner line break, a server's stray bytes, a cut-off sequence.
  EXPECT_EQ(log_line(TIME, "out", "a\r\nb\xFF\xC3(\xE4\xB8"),
            STAMP + "out a\\r\\nb\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\n");
  EXPECT_EQ(log_header("1.0.0", "https://h/x.exe", "Windows 6.1.7601"),
            "QuorvelSetup 1.0.0, https://h/x.exe, Windows 6.1.7601");
}

// The current file and the old one in memory; every write and every setting aside is also recorded
// in `seen`, in one sequence with what the stream sink saw.
struct Recorder : SupportLogFile {
  std::mutex mutex;
  std::vector<std::string> seen;
  std::string current, old;
  bool refuse_set_aside = false;
  LocalTime now() override { return TIME; }
  uint64_t size() override { return current.size(); }
  void append(std::string_view bytes) override {
    current.append(bytes);
    add(std::string(bytes));
  }
  bool set_aside() override {
    if (refuse_set_aside) return false;
    old = std::exchange(current, "");
    add("set aside");
    return true;
  }
  void add(std::string event) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(event));
  }
};

TEST(SupportLog, HeaderFirstThenEachLineRightAfterItsStream) {
  auto recorder = std::make_shared<Recorder>();
  std::optional<OutputSinkSwap> sink(std::in_place, [&](OutputStream s, std::string_view line) {
    recorder->add((s == OutputStream::Out ? "out " : "err ") + std::string(line) + "\n");
  });
  start_support_log(recorder, "QuorvelSetup 1.0.0");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] {
      for (int n = 0; n < 200; ++n)
        print_line(i % 2 ? OutputStream::Err : OutputStream::Out, std::to_string(i * 200 + n));
    });
  }
  for (std::thread& t : threads) t.join();
  start_support_log(nullptr, "");
  print_line(OutputStream::Out, "after the log was turned off");
  sink.reset();

  const std::vector<std::string>& seen = recorder->seen;
  ASSERT_EQ(seen.size(), 1u + 2 * 800 + 1);
  EXPECT_EQ(seen[0], STAMP + "run QuorvelSetup 1.0.0\n");
  for (size_t i = 1; i + 1 < seen.size(); i += 2) {
    // Whatever the other threads do, a stream write is followed at once by its own log line.
    ASSERT_EQ(seen[i + 1], STAMP + seen[i]);
  }
  EXPECT_EQ(seen.back(), "out after the log was turned off\n");
}

TEST(SupportLog, ALineThatWouldPassTheLimitStartsAFreshFileAndTheStreamsSeeEveryLine) {
  const size_t header = log_line(TIME, "run", "QuorvelSetup 1.0.0").size();
  const std::string line = log_line(TIME, "err", "0123456789");
  const size_t limit = 100;  // the header and one line fit, a second line would pass it
  struct Case {
    const char* name;
    size_t already;  // bytes in the file when the run starts
    bool refuse;     // the file cannot be set aside
    size_t lines;    // lines printed
    size_t current, old, set_asides;
  } cases[] = {
      {"a long run", 0, false, 10, header + line.size(), header + line.size(), 9},
      {"the header lands on the limit", limit - header, false, 0, limit, 0, 0},
      {"the header would pass it", limit - header + 1, false, 0, header, limit - header + 1, 1},
      {"a file that cannot be set aside stops the log", 90, true, 5, 90, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<Recorder>();
    recorder->current.assign(c.already, 'x');
    recorder->refuse_set_aside = c.refuse;
    std::vector<std::string> streams;
    {
      OutputSinkSwap sink([&](OutputStream, std::string_view text) { streams.emplace_back(text); });
      start_support_log(recorder, "QuorvelSetup 1.0.0", limit);
      for (size_t i = 0; i < c.lines; ++i) print_line(OutputStream::Err, "0123456789");
      start_support_log(nullptr, "");
    }
    EXPECT_EQ(streams.size(), c.lines);
    EXPECT_EQ(recorder->current.size(), c.current);
    EXPECT_EQ(recorder->old.size(), c.old);
    EXPECT_EQ(std::count(recorder->seen.begin(), recorder->seen.end(), "set aside"),
              static_cast<long>(c.set_asides));
    if (c.lines != 0 && !c.refuse) {
      EXPECT_TRUE(recorder->current.ends_with(line));
      EXPECT_TRUE(recorder->current.starts_with(log_line(TIME, "run", "QuorvelSetup 1.0.0")));
    }
  }
}

// A log kept in a real file, so that it survives the death test's child.
struct FileLog : SupportLogFile {
  explicit FileLog(std::string path) : path(std::move(path)) {}
  std::string path;
  LocalTime now() override { return TIME; }
  uint64_t size() override { return 0; }
  void append(std::string_view bytes) override {
    std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
  }
  bool set_aside() override { return true; }
};

std::string read_file(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

TEST(SupportLogDeathTest, FatalLinesAndUncaughtExceptionsReachTheLog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = testing::TempDir() + "support_log_death_test.log";
  struct Case {
    const char* name;
    void (*end)();
    const char* line;
    bool logged;  // false: the output lock was out of reach, only standard error has the line
  } cases[] = {
      {"runtime fatal", [] { fatal("cannot spawn executor thread"); },
       "cannot spawn executor thread", true},
      {"exception on another thread",
       [] {
         report_uncaught_exceptions();
         std::thread([] { throw std::runtime_error("vector too long"); }).join();
       },
       "未处理的异常 / uncaught exception: vector too long", true},
      {"failure inside a print",
       [] {
         set_output_sink([](OutputStream, std::string_view) { fatal("out of memory"); });
         print_line(OutputStream::Out, "never printed");
       },
       "out of memory", false},
      {"another thread stuck in a print",
       [] {
         static std::atomic<bool> entered = false;
         set_output_sink([](OutputStream, std::string_view) {
           entered = true;
           for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
         });
         std::thread([] { print_line(OutputStream::Out, "stuck"); }).detach();
         while (!entered) std::this_thread::yield();
         fatal("cannot spawn executor thread");
       },
       "cannot spawn executor thread", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path.c_str());
    EXPECT_DEATH(
        {
          start_support_log(std::make_shared<FileLog>(path), "QuorvelSetup 1.0.0");
          c.end();
        },
        c.line);
    EXPECT_EQ(read_file(path), STAMP + "run QuorvelSetup 1.0.0\n" +
                                   (c.logged ? STAMP + "err " + c.line + "\n" : ""));
  }
}

}  // namespace
}  // namespace quorvel::test
