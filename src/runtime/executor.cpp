// The executor: one queue of runnable tasks served by the "smol-N" threads.
#include <deque>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "runtime/runtime_internal.h"
#include "runtime/thread.h"

namespace quorvel::detail {

void run_claimed(const std::shared_ptr<TaskRecord>& task);

namespace {

class Executor {
 public:
  Executor() {
    size_t count = executor_thread_count(read_env("SMOL_THREADS"));
    for (size_t n = 1; n <= count; ++n) {
      if (!spawn_thread("smol-" + std::to_string(n), [this] { run(); })) {
        fatal("cannot spawn executor thread");
      }
    }
  }

  void schedule(std::shared_ptr<TaskRecord> task) {
    Parker* sleeper = nullptr;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(task));
      if (!sleepers_.empty()) {
        sleeper = sleepers_.back();
        sleepers_.pop_back();
      }
    }
    if (sleeper != nullptr) sleeper->unpark();
  }

 private:
  // Each executor thread runs this loop inside block_on's machinery: while idle it may drive the
  // reactor.
  void run() {
    block_on_count.fetch_add(1);
    Parker parker;
    for (;;) {
      std::shared_ptr<TaskRecord> task;
      {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
          task = std::move(queue_.front());
          queue_.pop_front();
        } else {
          sleepers_.push_back(&parker);
        }
      }
      if (!task) {
        parker.park();
        continue;
      }
      // A queued entry may be stale: a canceller can have claimed the task in the meantime.
      uint8_t expected = TaskRecord::SCHEDULED;
      if (task->state.compare_exchange_strong(expected, TaskRecord::RUNNING)) run_claimed(task);
    }
  }

  Mutex mutex_;
  std::deque<std::shared_ptr<TaskRecord>> queue_;
  std::vector<Parker*> sleepers_;
};

Executor& executor() {
  // Built once; a thread that arrives during the construction waits for it.
  static Executor* instance = new Executor();
  return *instance;
}

}  // namespace

void executor_schedule(std::shared_ptr<TaskRecord> task) {
  executor().schedule(std::move(task));
}

}  // namespace quorvel::detail
