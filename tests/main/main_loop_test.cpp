#include "main/main_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace quorvel {
namespace {

constexpr int64_t MS = 10'000;  // 100 ns units per millisecond

// A scripted world: a message queue, a clock that advances only when told, and a log of what
// the loop did, one letter per event (m = message handled, q = quit seen, t = tick, s = sleep).
struct FakeWorld {
  std::deque<int> step_results;  // what each message step returns; 1 when the script runs out
  int64_t clock = 1'000'000 * MS;
  int64_t tick_cost = 0;  // clock advance during a tick
  int64_t sleep_cost = 5 * MS;
  std::deque<int64_t> clock_jumps;  // applied to the clock at each sleep, in order
  std::string log;
  std::vector<int64_t> tick_times;
  int max_sleeps = 1000;
  int sleeps = 0;

  MainLoopHooks hooks() {
    MainLoopHooks h;
    h.message_step = [this] {
      int r = 1;
      if (!step_results.empty()) {
        r = step_results.front();
        step_results.pop_front();
      }
      if (sleeps >= max_sleeps) r = 0;  // end the run
      log += r == 1 ? 'm' : 'q';
      return r;
    };
    h.now = [this] { return clock; };
    h.sleep = [this](int ms) {
      EXPECT_EQ(ms, 5);
      log += 's';
      clock += sleep_cost;
      if (!clock_jumps.empty()) {
        clock += clock_jumps.front();
        clock_jumps.pop_front();
      }
      ++sleeps;
    };
    h.tick = [this] {
      log += 't';
      tick_times.push_back(clock);
      clock += tick_cost;
    };
    return h;
  }
};

TEST(ElapsedMilliseconds, TruncatesTheRest) {
  EXPECT_EQ(elapsed_milliseconds(0, 15 * MS + 9'999), 15);
  EXPECT_EQ(elapsed_milliseconds(0, 16 * MS), 16);
  EXPECT_EQ(elapsed_milliseconds(7, 7 + 3 * 10'000'000LL + 250 * MS + 1), 3250);
}

TEST(MainLoop, HandlesAtMostFiveMessagesPerIteration) {
  FakeWorld w;
  w.max_sleeps = 3;
  run_main_loop(w.hooks());
  // Three full iterations of five messages, a sleep after each; the fourth iteration ends the run
  // at its first step.
  EXPECT_EQ(w.log, "mmmmmsmmmmmsmmmmmsq");
}

TEST(MainLoop, QuitEndsTheLoopAtOnceWithoutTickOrSleep) {
  FakeWorld w;
  w.step_results = {1, 1, 0, 1, 1};
  w.sleep_cost = 100 * MS;
  run_main_loop(w.hooks());
  EXPECT_EQ(w.log, "mmq");
  EXPECT_TRUE(w.tick_times.empty());
}

TEST(MainLoop, AnyResultOtherThanOneQuits) {
  FakeWorld w;
  w.step_results = {1, -1};
  run_main_loop(w.hooks());
  EXPECT_EQ(w.log, "mq");
}

TEST(MainLoop, TicksOnlyAfterSixteenMilliseconds) {
  FakeWorld w;
  w.max_sleeps = 9;
  run_main_loop(w.hooks());
  // Start at T; sleeps advance 5 ms: checks at T, T+5, T+10, T+15 skip; T+20 ticks; then the
  // interval counts from T+20: T+25..T+35 skip, T+40 ticks.
  ASSERT_EQ(w.tick_times.size(), 2u);
  int64_t start = 1'000'000 * MS;
  EXPECT_EQ(w.tick_times[0], start + 20 * MS);
  EXPECT_EQ(w.tick_times[1], start + 40 * MS);
  EXPECT_EQ(w.log.substr(0, 30), "mmmmmsmmmmmsmmmmmsmmmmmsmmmmmt");
}

TEST(MainLoop, IntervalCountsFromTheEndOfTheTick) {
  FakeWorld w;
  w.tick_cost = 3000 * MS;  // a tick that blocks for 3 s (the retry wait)
  w.max_sleeps = 12;
  run_main_loop(w.hooks());
  ASSERT_GE(w.tick_times.size(), 2u);
  // The second tick comes 16+ ms after the first one ended, not right after the long tick.
  int64_t first_end = w.tick_times[0] + 3000 * MS;
  EXPECT_GE(w.tick_times[1] - first_end, 16 * MS);
  EXPECT_LT(w.tick_times[1] - first_end, 25 * MS);
}

TEST(MainLoop, ExactlySixteenMillisecondsIsEnough) {
  FakeWorld w;
  w.sleep_cost = 16 * MS;
  w.max_sleeps = 2;
  run_main_loop(w.hooks());
  EXPECT_EQ(w.log, "mmmmmsmmmmmtsq");
}

TEST(MainLoop, ClockSetBackCostsOneSkippedTick) {
  FakeWorld w;
  w.max_sleeps = 14;
  // Right after the first tick's interval, the clock jumps back by an hour.
  w.clock_jumps = {0, 0, 0, -3600LL * 10'000'000};
  run_main_loop(w.hooks());
  int64_t start = 1'000'000 * MS;
  ASSERT_GE(w.tick_times.size(), 2u);
  // Without the jump the first tick would be at start + 20 ms. With it, the reading at the 4th
  // check is earlier than the last-tick time: that check resets and skips, and the next tick
  // follows 16 ms (rounded up to the 5 ms steps: 20 ms) after the reset.
  int64_t reset_at = start + 20 * MS - 3600LL * 10'000'000;
  EXPECT_EQ(w.tick_times[0], reset_at + 20 * MS);
  EXPECT_EQ(w.tick_times[1], reset_at + 40 * MS);
}

TEST(MainLoop, ClockSetBackByOneUnitAlsoSkips) {
  FakeWorld w;
  w.sleep_cost = 0;
  w.max_sleeps = 3;
  w.clock_jumps = {-1, 20 * MS, 0};
  run_main_loop(w.hooks());
  // Check 1: elapsed 0, skip. Check 2: earlier by 1 unit: reset. Check 3: 20 ms later: tick.
  ASSERT_EQ(w.tick_times.size(), 1u);
  EXPECT_EQ(w.tick_times[0], 1'000'000 * MS - 1 + 20 * MS);
}

}  // namespace
}  // namespace quorvel
