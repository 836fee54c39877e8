#include "runtime/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "runtime/frame_counter.h"
#include "runtime/test_platform.h"

namespace quorvel {
namespace {

using test::FrameCounter;
using namespace std::chrono_literals;

Task<int> add(int a, int b) {
  co_return a + b;
}

Task<int> sum_nested(int depth) {
  if (depth == 0) co_return 0;
  int rest = co_await sum_nested(depth - 1);
  co_return depth + rest;
}

Task<std::string> text() {
  co_return std::string("from a task");
}

TEST(Task, BlockOnRunsNestedTasksToTheirResult) {
  EXPECT_EQ(block_on(add(2, 3)), 5);
  EXPECT_EQ(block_on(sum_nested(100)), 5050);
  EXPECT_EQ(block_on(text()), "from a task");
}

TEST(Task, BlockOnDestroysTheFrameAfterwards) {
  int live_before = FrameCounter::live.load();
  auto body = []() -> Task<int> {
    FrameCounter counter;
    co_return 7;
  };
  EXPECT_EQ(block_on(body()), 7);
  EXPECT_EQ(FrameCounter::live.load(), live_before);
}

TEST(Task, SpawnedTaskRunsOnAnExecutorThread) {
  std::promise<std::string> where;
  auto body = [](std::promise<std::string>* p) -> Task<void> {
    p->set_value(test::current_thread_name());
    co_return;
  };
  TaskHandle handle = spawn_task(body(&where));
  std::string name = where.get_future().get();
  EXPECT_EQ(name.rfind("smol-", 0), 0u) << name;
  handle.detach();
}

TEST(Task, RunBlockingRunsOnABlockingThreadAndYieldsTheResult) {
  auto body = []() -> Task<std::string> {
    std::string name = co_await run_blocking([] { return test::current_thread_name(); });
    co_await run_blocking([] {});
    co_return name;
  };
  std::string name = block_on(body());
  EXPECT_EQ(name.rfind("blocking-", 0), 0u) << name;
}

TEST(Task, RunBlockingFromASpawnedTask) {
  std::promise<int> result;
  auto body = [](std::promise<int>* p) -> Task<void> {
    int total = 0;
    for (int i = 0; i < 200; ++i) total += co_await run_blocking([i] { return i; });
    p->set_value(total);
  };
  TaskHandle handle = spawn_task(body(&result));
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(future.get(), 199 * 200 / 2);
  cancel_task(handle);
}

// The job finishes on another thread, often before the task's suspension has completed; no such
// wake may be lost.
TEST(Task, WakesThatRaceTheSuspensionAreNotLost) {
  auto body = []() -> Task<long> {
    long total = 0;
    for (int i = 0; i < 3000; ++i) total += co_await run_blocking([] { return 1L; });
    co_return total;
  };
  EXPECT_EQ(block_on(body()), 3000);
}

TEST(Task, CancellingAFinishedTaskReturnsAtOnce) {
  std::promise<void> ran;
  auto body = [](std::promise<void>* p) -> Task<void> {
    p->set_value();
    co_return;
  };
  TaskHandle handle = spawn_task(body(&ran));
  ran.get_future().get();
  while (!handle.finished()) std::this_thread::sleep_for(1ms);
  cancel_task(handle);
  EXPECT_FALSE(handle);
  TaskHandle empty;
  cancel_task(empty);
  EXPECT_FALSE(empty);
}

TEST(Task, CancelWaitsForTheBlockingJobThatUsesTheFrame) {
  std::promise<void> started;
  std::atomic<bool> job_done{false};
  int live_before = FrameCounter::live.load();
  auto body = [](std::promise<void>* started, std::atomic<bool>* job_done) -> Task<void> {
    FrameCounter counter;
    int in_frame = 0;
    co_await run_blocking([&] {
      started->set_value();
      std::this_thread::sleep_for(150ms);
      in_frame = 1;  // the frame must still exist
      job_done->store(true);
    });
    ADD_FAILURE() << "a cancelled task went on after its blocking job";
  };
  TaskHandle handle = spawn_task(body(&started, &job_done));
  started.get_future().get();
  cancel_task(handle);
  EXPECT_TRUE(job_done.load());
  EXPECT_EQ(FrameCounter::live.load(), live_before);
}

Task<void> wait_forever_in_blocking_chain(std::atomic<int>* steps) {
  FrameCounter counter;
  for (;;) {
    co_await run_blocking([] {});
    steps->fetch_add(1);
  }
}

Task<void> outer(std::atomic<int>* steps) {
  FrameCounter counter;
  co_await wait_forever_in_blocking_chain(steps);
}

TEST(Task, CancellingARunningTaskDestroysNestedFrames) {
  std::atomic<int> steps{0};
  int live_before = FrameCounter::live.load();
  TaskHandle handle = spawn_task(outer(&steps));
  while (steps.load() < 10) std::this_thread::sleep_for(1ms);
  cancel_task(handle);
  EXPECT_EQ(FrameCounter::live.load(), live_before);
  int after = steps.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(steps.load(), after);
}

// With one executor thread, a task that cancels another one waiting for a blocking job must not
// wait for the executor thread it occupies itself.
TEST(Task, CancellingFromTheOnlyExecutorThreadDoesNotWaitForItself) {
  std::promise<void> started;
  int live_before = FrameCounter::live.load();
  auto sleeper = [](std::promise<void>* started) -> Task<void> {
    FrameCounter counter;
    co_await run_blocking([started] {
      started->set_value();
      std::this_thread::sleep_for(100ms);
    });
  };
  TaskHandle victim = spawn_task(sleeper(&started));
  started.get_future().get();
  std::promise<void> cancelled;
  auto canceller = [](TaskHandle* victim, std::promise<void>* done) -> Task<void> {
    cancel_task(*victim);
    done->set_value();
    co_return;
  };
  TaskHandle handle = spawn_task(canceller(&victim, &cancelled));
  ASSERT_EQ(cancelled.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(FrameCounter::live.load(), live_before);
  cancel_task(handle);
}

TEST(Task, DroppingTheLastHandleCancelsTheTask) {
  std::atomic<int> steps{0};
  int live_before = FrameCounter::live.load();
  {
    TaskHandle handle = spawn_task(outer(&steps));
    TaskHandle copy = handle;
    while (steps.load() < 3) std::this_thread::sleep_for(1ms);
  }
  for (int i = 0; i < 2000 && FrameCounter::live.load() != live_before; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(FrameCounter::live.load(), live_before);
}

TEST(Task, DetachedTaskRunsOnWithoutItsHandle) {
  std::promise<void> finished;
  auto body = [](std::promise<void>* p) -> Task<void> {
    co_await run_blocking([] { std::this_thread::sleep_for(20ms); });
    p->set_value();
  };
  {
    TaskHandle handle = spawn_task(body(&finished));
    handle.detach();
  }
  EXPECT_EQ(finished.get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace quorvel
