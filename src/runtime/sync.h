// The runtime's lock and condition variable. On Windows they are the system's slim reader/writer
// lock and condition variable: a wake-up stays inside the process, where the C++ library's
// pthread-based ones go through semaphores and events, a kernel (or wineserver) round trip each.
// Elsewhere they are the standard ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvel::detail {

#if defined(_WIN32)

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void* native() { return &state_; }

 private:
  void* state_ = nullptr;  // SRWLOCK_INIT
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void notify_one();
  void notify_all();
  void wait(std::unique_lock<Mutex>& lock) { wait_ms(lock, -1); }
  template <class Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
  // False when the time ran out (wake-ups may also come early or spuriously).
  template <class Clock, class Duration>
  std::cv_status wait_until(std::unique_lock<Mutex>& lock,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::cv_status::timeout;
    wait_ms(lock, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<long>(left));
    return Clock::now() >= deadline ? std::cv_status::timeout : std::cv_status::no_timeout;
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
      if (wait_until(lock, deadline) == std::cv_status::timeout) return ready();
    }
    return true;
  }

 private:
  void wait_ms(std::unique_lock<Mutex>& lock, long milliseconds);  // -1: no limit
  void* state_ = nullptr;                                          // CONDITION_VARIABLE_INIT
};

#else

using Mutex = std::mutex;
using CondVar = std::condition_variable;

#endif

}  // namespace quorvel::detail
