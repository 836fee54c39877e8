// A blocking thread that cannot be made lowers the pool's limit to the threads it has, and the
// queued jobs still run on those; with no thread at all, a job fails or runs in place. Its own
// program: the lowered limit stays for the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/runtime_internal.h"
#include "runtime/task.h"
#include "runtime/test_platform.h"
#include "runtime/thread.h"
#include "support/system_call_swap.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// Thread creation that succeeds `spawns_left` more times, then fails as a system out of memory for
// another thread does.
std::atomic<int> spawns_left{0};
#ifdef _WIN32
HANDLE WINAPI create_thread_within_budget(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                          LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD flags,
                                          LPDWORD id) {
  if (spawns_left.fetch_sub(1) <= 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return CreateThread(security, stack, start, arg, flags, id);
}
#else
int create_thread_within_budget(pthread_t* thread, const pthread_attr_t* attr,
                                void* (*start)(void*), void* arg) {
  if (spawns_left.fetch_sub(1) <= 0) return EAGAIN;
  return pthread_create(thread, attr, start, arg);
}
#endif

// Thread creation limited to `successes` more threads until the budget is reset or goes.
using ThreadBudget = std::optional<test::SystemCallSwap<decltype(SystemCalls::create_thread)>>;
void limit_threads(ThreadBudget& budget, int successes) {
  spawns_left.store(successes);
  budget.emplace(&SystemCalls::create_thread, &create_thread_within_budget);
}

struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [this] { return open; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};

Task<void> blocked_job(Gate* gate, std::atomic<int>* done) {
  co_await run_blocking([gate] { gate->wait(); });
  done->fetch_add(1);
}

Task<void> warm_up(std::atomic<int>* result) {
  result->store(co_await run_blocking([] { return 1; }));
}

TEST(BlockingPool, AThreadThatCannotBeMadeLowersTheLimitAndTheJobsStillRun) {
  // The executor, the reactor and the first blocking thread exist before the limit is set.
  std::atomic<int> warmed{0};
  TaskHandle first = spawn_task(warm_up(&warmed));
  for (int i = 0; i < 2000 && warmed.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(warmed.load(), 1);
  auto has_reactor_thread = [] {
    for (const auto& name : test::thread_names()) {
      if (name == "async-io") return true;
    }
    return false;
  };
  for (int i = 0; i < 2000 && !has_reactor_thread(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(has_reactor_thread());
  ASSERT_EQ(detail::blocking_thread_limit_in_effect(), 500u);
  ThreadBudget budget;
  limit_threads(budget, 1);

  Gate gate;
  std::atomic<int> done{0};
  constexpr int JOBS = 30;
  std::vector<TaskHandle> handles;
  for (int i = 0; i < JOBS; ++i) handles.push_back(spawn_task(blocked_job(&gate, &done)));
  // Both threads are held by the gate and the queue is long: growth is tried and refused.
  for (int i = 0; i < 5000 && detail::blocking_thread_limit_in_effect() == 500u; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(detail::blocking_thread_limit_in_effect(), 2u);

  gate.release();
  for (int i = 0; i < 10000 && done.load() < JOBS; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(done.load(), JOBS);
  budget.reset();
  for (auto& handle : handles) cancel_task(handle);
  cancel_task(first);
}

Task<void> job_with_result(Result<int>* result, std::atomic<bool>* finished) {
  *result = co_await run_blocking([]() -> Result<int> { return 1; });
  finished->store(true);
}

Task<void> job_without_result(int* value, std::atomic<bool>* finished) {
  *value = co_await run_blocking([] { return 7; });
  finished->store(true);
}

bool wait_until(const std::atomic<bool>& flag) {
  for (int i = 0; i < 3000 && !flag.load(); ++i) std::this_thread::sleep_for(1ms);
  return flag.load();
}

TEST(BlockingPool, WithNoThreadAtAllAJobFailsWithTheCreationErrorOrRunsInPlace) {
  std::atomic<int> warmed{0};
  TaskHandle first = spawn_task(warm_up(&warmed));
  for (int i = 0; i < 2000 && warmed.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(warmed.load(), 1);
  auto has_blocking_thread = [] {
    for (const auto& name : test::thread_names()) {
      if (name.rfind("blocking-", 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 5000 && has_blocking_thread(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_FALSE(has_blocking_thread());
  ThreadBudget budget;
  limit_threads(budget, 0);

  Result<int> result = Error::other("never finished");
  std::atomic<bool> failed{false};
  TaskHandle with_result = spawn_task(job_with_result(&result, &failed));
  const bool failed_in_time = wait_until(failed);
  int value = 0;
  std::atomic<bool> ran{false};
  TaskHandle without_result = spawn_task(job_without_result(&value, &ran));
  const bool ran_in_time = wait_until(ran);
  budget.reset();

  EXPECT_TRUE(failed_in_time);
#ifdef _WIN32
  EXPECT_EQ(result.error(), Error::os(ERROR_NOT_ENOUGH_MEMORY));
#else
  EXPECT_EQ(result.error(), Error::os(EAGAIN));
#endif
  EXPECT_TRUE(ran_in_time);
  EXPECT_EQ(value, 7);
  // A job left in the queue runs once threads can be made again, so the tasks can end.
  std::atomic<int> drained{0};
  block_on(warm_up(&drained));
  cancel_task(with_result);
  cancel_task(without_result);
  cancel_task(first);
}

}  // namespace
}  // namespace quorvel
