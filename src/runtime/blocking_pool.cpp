// The blocking pool: "blocking-N" threads made on demand, each leaving after 500 ms without work.
#include <chrono>
#include <deque>
#include <string>

#include "runtime/env.h"
#include "runtime/runtime_internal.h"
#include "runtime/thread.h"

namespace quorvel::detail {
namespace {

constexpr auto IDLE_TIMEOUT = std::chrono::milliseconds(500);
constexpr size_t JOBS_PER_IDLE_THREAD = 5;

class BlockingPool {
 public:
  BlockingPool() : limit_(blocking_thread_limit(read_env("BLOCKING_MAX_THREADS"))) {}

  size_t limit() {
    std::lock_guard lock(mutex_);
    return limit_;
  }

  void submit(BlockingJob job) {
    std::deque<BlockingJob> stranded;
    Result<void> grown;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(job));
      cv_.notify_one();
      grown = grow();
      // No thread at all would ever take the queue: its jobs end here, so no task waits forever.
      if (!grown && threads_ == 0) stranded.swap(queue_);
    }
    for (BlockingJob& left : stranded) {
      if (left.fail) {
        left.fail(left.context, grown.error());
      } else {
        left.run(left.context);
      }
      finish(left);
    }
  }

 private:
  // With the lock held: adds threads while the queue is long for the idle threads there are. The
  // error of a thread that could not be made.
  Result<void> grow() {
    while (queue_.size() > idle_ * JOBS_PER_IDLE_THREAD && threads_ < limit_) {
      ++threads_;
      ++idle_;
      cv_.notify_all();
      uint64_t number = next_number_++;
      auto spawned = spawn_thread("blocking-" + std::to_string(number), [this] { run(); });
      if (!spawned) {
        --threads_;
        --idle_;
        limit_ = threads_ > 0 ? threads_ : 1;
        return spawned;
      }
    }
    return success();
  }

  // The job no longer touches the task's frame; a cancellation may now destroy it.
  static void finish(BlockingJob& job) {
    job.task->blocking_jobs.fetch_sub(1);
    wake(job.task);
    job.task.reset();
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      --idle_;
      while (!queue_.empty()) {
        BlockingJob job = std::move(queue_.front());
        queue_.pop_front();
        (void)grow();  // this thread remains to take the queue
        lock.unlock();
        job.run(job.context);
        finish(job);
        lock.lock();
      }
      ++idle_;
      auto deadline = std::chrono::steady_clock::now() + IDLE_TIMEOUT;
      while (queue_.empty()) {
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.empty()) {
          --idle_;
          --threads_;
          return;
        }
      }
    }
  }

  Mutex mutex_;
  CondVar cv_;
  std::deque<BlockingJob> queue_;
  size_t threads_ = 0;
  size_t idle_ = 0;
  size_t limit_;
  uint64_t next_number_ = 1;
};

BlockingPool& pool() {
  static BlockingPool* instance = new BlockingPool();
  return *instance;
}

}  // namespace

void blocking_submit(BlockingJob job) {
  pool().submit(std::move(job));
}

size_t blocking_thread_limit_in_effect() {
  return pool().limit();
}

}  // namespace quorvel::detail
