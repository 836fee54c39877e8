// The runtime's private parts: task records, parking of threads, the executor, the blocking pool
// and the reactor's driving interface. Not for use outside src/runtime.
#pragma once

#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <memory>

#include "runtime/fatal.h"
#include "runtime/sync.h"
#include "runtime/task.h"

namespace quorvel::detail {

class Parker;

// One spawned (or block_on) task. The state machine keeps a wake that arrives from another thread
// while the task is still running (before its suspension completes) from being lost: it turns
// Running into Notified, and the runner then schedules the task again.
struct TaskRecord : std::enable_shared_from_this<TaskRecord> {
  enum State : uint8_t { IDLE, SCHEDULED, RUNNING, NOTIFIED, DONE };

  std::atomic<uint8_t> state{SCHEDULED};
  std::atomic<bool> cancelled{false};
  std::atomic<int> blocking_jobs{0};  // run_blocking jobs in flight; they may use frame memory
  std::atomic<bool> done{false};      // the frame is finished or destroyed
  Mutex done_mutex;                   // with done_cv: cancel_task's wait for `done`
  CondVar done_cv;

  std::coroutine_handle<> root;
  bool owns_root = true;                 // spawned tasks own their root; block_on's caller does not
  std::coroutine_handle<> resume_point;  // the innermost suspended coroutine
  std::shared_ptr<Parker> parker;        // set for block_on: the waiting thread; else the executor
};

// Makes a suspended task runnable again. Exactly one wake is issued per suspension (besides a
// cancellation's); further wakes of a scheduled or finished task do nothing.
void wake(const std::shared_ptr<TaskRecord>& task);

// Cancellation: mark the task and destroy it here if no other thread runs it (true when claimed).
void request_cancel(const std::shared_ptr<TaskRecord>& task);
bool claim_for_cancel(const std::shared_ptr<TaskRecord>& task);

// The task running on this thread; a fatal error outside a task. `suspended` becomes the point at
// which the task resumes.
std::shared_ptr<TaskRecord> suspend_current(std::coroutine_handle<> suspended);

// A thread's wake-up flag. park() sleeps until unpark(); meanwhile, when no other thread drives the
// reactor, it drives it itself.
class Parker {
 public:
  void park();
  void unpark();

 private:
  // Socket events of other tasks wait at most this long while this thread does.
  static constexpr std::chrono::milliseconds BLOCKING_WAIT{1};
  bool wait_for_blocking_job();
  void drive_reactor();

  Mutex mutex_;
  CondVar cv_;
  std::atomic<bool> notified_{false};  // written under mutex_
  std::atomic<bool> in_reactor_{false};
};

// Executor queue.
void executor_schedule(std::shared_ptr<TaskRecord> task);

// Blocking pool: runs run(context), then lets the task go on. When no thread can run it: fail
// (or, without one, run) on the submitting thread.
struct BlockingJob {
  void (*run)(void*);
  BlockingFail fail;
  void* context;
  std::shared_ptr<TaskRecord> task;
};
void blocking_submit(BlockingJob job);
size_t blocking_thread_limit_in_effect();  // the pool's current limit (for tests)

// The reactor's driving side (one per process, created on first use with its "async-io" thread).
void reactor_start();
bool reactor_try_lock();
void reactor_lock();
void reactor_unlock();
// With the lock held: waits for events (or a notify) up to timeout_ms (-1: no limit) and wakes
// their tasks.
void reactor_react(int timeout_ms = -1);
// How often this thread has processed reactor events (for tests).
uint64_t reactor_reacts_on_this_thread();
void reactor_notify();  // makes a current or the next reactor_react() return

// Reactor source records alive, registered or still owned by an in-flight poll (for tests).
int live_reactor_sources();

// Process-wide count of threads inside block_on (executor threads included).
extern std::atomic<int> block_on_count;

using quorvel::fatal;

}  // namespace quorvel::detail
