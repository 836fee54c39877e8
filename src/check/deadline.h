// The check's two time bounds: one for the whole run, one for each wait within it. Every wait is
// given the smaller of its own bound and what is left of the run.
#pragma once

#include <algorithm>
#include <chrono>

namespace quorvel::check {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline(std::chrono::seconds whole_run, std::chrono::seconds each_wait)
      : end_(Clock::now() + whole_run), whole_run_(whole_run), each_wait_(each_wait) {}

  bool passed() const { return Clock::now() >= end_; }
  // At least 1 ms while time is left, so that a wait never means "forever".
  std::chrono::milliseconds next_wait() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return std::clamp<std::chrono::milliseconds>(left, std::chrono::milliseconds(1), each_wait_);
  }
  std::chrono::seconds whole_run() const { return whole_run_; }
  std::chrono::seconds each_wait() const { return each_wait_; }

 private:
  Clock::time_point end_;
  std::chrono::seconds whole_run_, each_wait_;
};

}  // namespace quorvel::check
