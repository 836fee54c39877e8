// The program's main loop: never blocks in the toolkit, pumps at most five messages per
// iteration, runs the tick at least 16 ms after the previous tick ended, sleeps 5 ms.
#pragma once

#include <cstdint>
#include <functional>

namespace quorvel {

inline constexpr int MESSAGES_PER_ITERATION = 5;
inline constexpr int64_t TICK_INTERVAL_MS = 16;
inline constexpr int LOOP_SLEEP_MS = 5;

// The loop's contact with the outside world, replaceable in tests.
struct MainLoopHooks {
  // Handles at most one pending message without waiting; anything but 1 means quit.
  std::function<int()> message_step;
  // Wall clock in 100-nanosecond units.
  std::function<int64_t()> now;
  std::function<void(int milliseconds)> sleep;
  // The periodic work of the run (the status tick).
  std::function<void()> tick;
};

// Milliseconds between two clock readings: whole seconds times 1000 plus the rest truncated.
int64_t elapsed_milliseconds(int64_t earlier, int64_t later);

// Runs until a message step asks to quit.
void run_main_loop(const MainLoopHooks& hooks);

// A wait inside the tick that keeps the window drawn and closable: handles messages as the loop
// does (at most five, then 5 ms of sleep) for `milliseconds`, without ticking. False as soon as a
// message step asks to quit. A clock set back restarts the count, as in the loop.
bool wait_handling_messages(const MainLoopHooks& hooks, int64_t milliseconds);

}  // namespace quorvel
