#include "main/main_loop.h"

namespace quorvel {

namespace {
constexpr int64_t TICKS_PER_SECOND = 10'000'000;  // 100 ns units
constexpr int64_t TICKS_PER_MILLISECOND = 10'000;
}  // namespace

int64_t elapsed_milliseconds(int64_t earlier, int64_t later) {
  int64_t delta = later - earlier;
  return delta / TICKS_PER_SECOND * 1000 + delta % TICKS_PER_SECOND / TICKS_PER_MILLISECOND;
}

void run_main_loop(const MainLoopHooks& hooks) {
  int64_t last_tick = hooks.now();
  for (;;) {
    for (int i = 0; i < MESSAGES_PER_ITERATION; ++i) {
      if (hooks.message_step() != 1) return;
    }
    int64_t now = hooks.now();
    if (now < last_tick) {
      // The clock was set back: start counting again from here and skip this tick.
      last_tick = hooks.now();
    } else if (elapsed_milliseconds(last_tick, now) >= TICK_INTERVAL_MS) {
      hooks.tick();
      last_tick = hooks.now();
    }
    hooks.sleep(LOOP_SLEEP_MS);
  }
}

bool wait_handling_messages(const MainLoopHooks& hooks, int64_t milliseconds) {
  int64_t start = hooks.now();
  for (;;) {
    for (int i = 0; i < MESSAGES_PER_ITERATION; ++i) {
      if (hooks.message_step() != 1) return false;
    }
    const int64_t now = hooks.now();
    if (now < start) start = now;
    if (elapsed_milliseconds(start, now) >= milliseconds) return true;
    hooks.sleep(LOOP_SLEEP_MS);
  }
}

}  // namespace quorvel
