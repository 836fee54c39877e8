// The runtime's lock and condition variable: exclusion, try_lock, wake-ups and timeouts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/sync.h"

namespace quorvel::detail {
namespace {

using namespace std::chrono_literals;

TEST(Sync, MutexExcludesEveryOtherThread) {
  Mutex mutex;
  long counter = 0;  // a plain int: lost updates show up as a wrong total
  auto add = [&] {
    for (int i = 0; i < 200000; ++i) {
      std::lock_guard lock(mutex);
      ++counter;
    }
  };
  std::thread a(add), b(add);
  a.join();
  b.join();
  EXPECT_EQ(counter, 400000);
}

TEST(Sync, TryLockFailsWhileAnotherThreadHoldsTheLock) {
  Mutex mutex;
  mutex.lock();
  bool taken = true;
  std::thread([&] { taken = mutex.try_lock(); }).join();
  EXPECT_FALSE(taken);
  mutex.unlock();
  std::thread([&] {
    taken = mutex.try_lock();
    if (taken) mutex.unlock();
  }).join();
  EXPECT_TRUE(taken);
}

TEST(Sync, NotifyWakesAWaiterThatHoldsTheLockAgain) {
  Mutex mutex;
  CondVar cv;
  bool ready = false;
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return ready; });
    EXPECT_TRUE(lock.owns_lock());
    woke = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke.load());
  {
    std::lock_guard lock(mutex);
    ready = true;
  }
  cv.notify_one();
  waiter.join();
  EXPECT_TRUE(woke.load());
}

TEST(Sync, NotifyAllWakesEveryWaiter) {
  Mutex mutex;
  CondVar cv;
  bool ready = false;
  std::atomic<int> woke{0};
  auto wait = [&] {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return ready; });
    ++woke;
  };
  std::thread a(wait), b(wait), c(wait);
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard lock(mutex);
    ready = true;
  }
  cv.notify_all();
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(woke.load(), 3);
}

TEST(Sync, WaitUntilReportsTheTimeoutOnlyAfterTheDeadline) {
  Mutex mutex;
  CondVar cv;
  std::unique_lock lock(mutex);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + 30ms;
  while (cv.wait_until(lock, deadline) != std::cv_status::timeout) {
  }
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  EXPECT_TRUE(lock.owns_lock());
  // A deadline already past returns at once.
  EXPECT_EQ(cv.wait_until(lock, start), std::cv_status::timeout);
}

TEST(Sync, WaitForGivesThePredicateWhenTheTimeRunsOut) {
  Mutex mutex;
  CondVar cv;
  std::unique_lock lock(mutex);
  EXPECT_FALSE(cv.wait_for(lock, 10ms, [] { return false; }));
  EXPECT_TRUE(cv.wait_for(lock, 10ms, [] { return true; }));
  EXPECT_TRUE(lock.owns_lock());
}

}  // namespace
}  // namespace quorvel::detail
