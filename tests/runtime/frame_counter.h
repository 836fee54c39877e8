// Counts objects living in coroutine frames, so tests can see that cancelled frames are destroyed.
#pragma once

#include <atomic>

namespace quorvel::test {

struct FrameCounter {
  static inline std::atomic<int> live{0};
  static inline std::atomic<int> made{0};
  FrameCounter() {
    live.fetch_add(1);
    made.fetch_add(1);
  }
  FrameCounter(const FrameCounter&) = delete;
  ~FrameCounter() { live.fetch_sub(1); }
};

}  // namespace quorvel::test
