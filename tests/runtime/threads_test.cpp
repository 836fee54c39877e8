// Run once per environment setting (see CMakeLists.txt): QUORVEL_EXPECT_EXECUTOR_THREADS and
// QUORVEL_EXPECT_BLOCKING_LIMIT say what SMOL_THREADS and BLOCKING_MAX_THREADS must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

#include "runtime/runtime_internal.h"
#include "runtime/task.h"
#include "runtime/test_platform.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

size_t expected(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v ? static_cast<size_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

std::vector<std::string> names_with_prefix(const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& name : test::thread_names()) {
    if (name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

Task<void> note_thread(std::promise<void>* done) {
  done->set_value();
  co_return;
}

void run_one_spawn() {
  std::promise<void> done;
  TaskHandle handle = spawn_task(note_thread(&done));
  done.get_future().get();
  cancel_task(handle);
}

TEST(RuntimeThreads, ExecutorThreadsFollowSmolThreadsAndAreReused) {
  size_t count = expected("QUORVEL_EXPECT_EXECUTOR_THREADS", 1);
  run_one_spawn();
  // The reactor thread comes with the first executor thread that waits for work; until it has its
  // name it carries its creator's.
  for (int i = 0; i < 2000 && names_with_prefix("async-io").empty(); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  std::vector<std::string> want;
  for (size_t n = 1; n <= count; ++n) want.push_back("smol-" + std::to_string(n));
  std::sort(want.begin(), want.end());
  EXPECT_EQ(names_with_prefix("smol-"), want);
  EXPECT_EQ(names_with_prefix("async-io"), std::vector<std::string>{"async-io"});

  run_one_spawn();  // a second job reuses the executor
  EXPECT_EQ(names_with_prefix("smol-"), want);
  EXPECT_EQ(names_with_prefix("async-io").size(), 1u);
}

Task<void> blocking_job(std::atomic<int>* running, std::atomic<int>* peak,
                        std::atomic<int>* finished, int jobs, std::promise<void>* all_done) {
  co_await run_blocking([running, peak] {
    int now = running->fetch_add(1) + 1;
    int seen = peak->load();
    while (now > seen && !peak->compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(30ms);
    running->fetch_sub(1);
  });
  if (finished->fetch_add(1) + 1 == jobs) all_done->set_value();
}

TEST(RuntimeThreads, BlockingPoolHonoursItsLimit) {
  size_t limit = expected("QUORVEL_EXPECT_BLOCKING_LIMIT", 500);
  constexpr int JOBS = 12;
  std::atomic<int> running{0}, peak{0}, finished{0};
  std::promise<void> all_done;
  std::vector<TaskHandle> handles;
  for (int i = 0; i < JOBS; ++i) {
    handles.push_back(spawn_task(blocking_job(&running, &peak, &finished, JOBS, &all_done)));
  }
  ASSERT_EQ(all_done.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(detail::blocking_thread_limit_in_effect(), limit);
  if (limit == 1) {
    EXPECT_EQ(peak.load(), 1);
    EXPECT_LE(names_with_prefix("blocking-").size(), 1u);
  } else {
    EXPECT_GT(peak.load(), 1);  // the queue grew faster than one thread could serve it
  }
}

TEST(RuntimeThreads, IdleBlockingThreadExitsAndTheNextGetsANewNumber) {
  auto job_thread = []() -> Task<std::string> {
    co_return co_await run_blocking([] { return test::current_thread_name(); });
  };
  std::string first = block_on(job_thread());
  ASSERT_EQ(first.rfind("blocking-", 0), 0u) << first;
  // Every blocking thread leaves 500 ms after its last job.
  std::this_thread::sleep_for(800ms);
  EXPECT_TRUE(names_with_prefix("blocking-").empty());
  std::string next = block_on(job_thread());
  ASSERT_EQ(next.rfind("blocking-", 0), 0u) << next;
  EXPECT_GT(std::stoul(next.substr(9)), std::stoul(first.substr(9)));
}

}  // namespace
}  // namespace quorvel
