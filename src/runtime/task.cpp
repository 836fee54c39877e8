// Task records: running, waking, cancelling and destroying tasks; block_on.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "runtime/runtime_internal.h"

namespace quorvel {
namespace detail {

std::atomic<int> block_on_count{0};

namespace {

thread_local TaskRecord* current_task = nullptr;
// Whether the task this thread ran last suspended to wait for a blocking job.
thread_local bool awaiting_blocking_job = false;

void schedule(const std::shared_ptr<TaskRecord>& task) {
  if (task->parker) {
    task->parker->unpark();
  } else {
    executor_schedule(task);
  }
}

void finish(TaskRecord& task) {
  if (task.owns_root && task.root) task.root.destroy();
  task.root = {};
  task.resume_point = {};
  task.state.store(TaskRecord::DONE);
  {
    std::lock_guard lock(task.done_mutex);
    task.done.store(true);
  }
  task.done_cv.notify_all();
}

}  // namespace

void wake(const std::shared_ptr<TaskRecord>& task) {
  uint8_t state = task->state.load();
  for (;;) {
    if (state == TaskRecord::IDLE) {
      if (task->state.compare_exchange_weak(state, TaskRecord::SCHEDULED)) {
        schedule(task);
        return;
      }
    } else if (state == TaskRecord::RUNNING) {
      if (task->state.compare_exchange_weak(state, TaskRecord::NOTIFIED)) return;
    } else {
      return;  // already scheduled, notified or done
    }
  }
}

// Runs a task whose state this thread has just turned into RUNNING, until it suspends, finishes or
// is destroyed by a cancellation.
void run_claimed(const std::shared_ptr<TaskRecord>& task) {
  if (task->cancelled.load() && task->blocking_jobs.load() == 0) {
    finish(*task);
    return;
  }
  if (!task->cancelled.load()) {
    TaskRecord* outer = std::exchange(current_task, task.get());
    task->resume_point.resume();
    current_task = outer;
    if (task->root.done()) {
      finish(*task);
      return;
    }
    if (task->cancelled.load() && task->blocking_jobs.load() == 0) {
      finish(*task);
      return;
    }
  }
  uint8_t expected = TaskRecord::RUNNING;
  if (task->state.compare_exchange_strong(expected, TaskRecord::IDLE)) return;
  // A wake arrived while the task ran: it must run again.
  task->state.store(TaskRecord::SCHEDULED);
  schedule(task);
}

std::shared_ptr<TaskRecord> suspend_current(std::coroutine_handle<> suspended) {
  if (current_task == nullptr) fatal("a runtime wait was used outside a task");
  current_task->resume_point = suspended;
  awaiting_blocking_job = false;
  return current_task->shared_from_this();
}

void submit_blocking(void (*run)(void*), BlockingFail fail, void* context,
                     std::coroutine_handle<> suspended) {
  std::shared_ptr<TaskRecord> task = suspend_current(suspended);
  task->blocking_jobs.fetch_add(1);
  awaiting_blocking_job = true;
  blocking_submit(BlockingJob{run, fail, context, std::move(task)});
}

void Parker::unpark() {
  {
    std::lock_guard lock(mutex_);
    notified_ = true;
  }
  cv_.notify_one();
  if (in_reactor_.load()) reactor_notify();
}

// With the reactor lock held: processes events until this thread is unparked.
void Parker::drive_reactor() {
  in_reactor_.store(true);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (notified_) {
        notified_ = false;
        break;
      }
    }
    reactor_react();
  }
  in_reactor_.store(false);
  reactor_unlock();
}

// Whether the wake-up came within BLOCKING_WAIT, spent asleep on this parker's own condition
// variable. A blocking job's result usually comes back within tens of microseconds: taken here, it
// spares both sides the wake-up of a thread asleep in the reactor, a system call each (a wineserver
// round trip each under Wine).
bool Parker::wait_for_blocking_job() {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, BLOCKING_WAIT, [this] { return notified_.load(); })) return false;
  notified_ = false;
  return true;
}

void Parker::park() {
  if (std::exchange(awaiting_blocking_job, false) && wait_for_blocking_job()) return;
  reactor_start();
  if (reactor_try_lock()) {
    drive_reactor();
    return;
  }
  // Another thread drives the reactor; should it let go, this thread takes over within 10 ms.
  std::unique_lock lock(mutex_);
  while (!notified_) {
    if (cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return notified_.load(); }))
      break;
    lock.unlock();
    if (reactor_try_lock()) {
      drive_reactor();
      return;
    }
    lock.lock();
  }
  notified_ = false;
}

void block_on_root(std::coroutine_handle<> root) {
  auto task = std::make_shared<TaskRecord>();
  task->root = root;
  task->resume_point = root;
  task->owns_root = false;
  task->parker = std::make_shared<Parker>();
  block_on_count.fetch_add(1);
  for (;;) {
    uint8_t expected = TaskRecord::SCHEDULED;
    if (task->state.compare_exchange_strong(expected, TaskRecord::RUNNING)) {
      run_claimed(task);
      if (task->done.load()) break;
    }
    task->parker->park();
  }
  block_on_count.fetch_sub(1);
}

struct TaskOwner {
  std::shared_ptr<TaskRecord> task;
  std::atomic<bool> detached{false};

  ~TaskOwner();
};

// Destroys a suspended or queued cancelled task on the calling thread when no other thread runs it
// (the executor skips the stale queue entry), so a cancellation never needs a free executor thread.
// A running task is left to its runner, which destroys it at the suspension point.
bool claim_for_cancel(const std::shared_ptr<TaskRecord>& task) {
  for (uint8_t from : {TaskRecord::IDLE, TaskRecord::SCHEDULED}) {
    uint8_t expected = from;
    if (task->state.compare_exchange_strong(expected, TaskRecord::RUNNING)) {
      run_claimed(task);
      return true;
    }
  }
  return false;
}

void request_cancel(const std::shared_ptr<TaskRecord>& task) {
  task->cancelled.store(true);
  if (!claim_for_cancel(task)) wake(task);
}

TaskOwner::~TaskOwner() {
  if (!detached.load()) request_cancel(task);
}

}  // namespace detail

bool TaskHandle::finished() const {
  return owner_ && owner_->task->done.load();
}

void TaskHandle::detach() {
  if (owner_) owner_->detached.store(true);
}

TaskHandle spawn_task(Task<void> task) {
  auto record = std::make_shared<detail::TaskRecord>();
  record->root = task.release();
  record->resume_point = record->root;
  TaskHandle handle;
  handle.owner_ = std::make_shared<detail::TaskOwner>();
  handle.owner_->task = record;
  detail::executor_schedule(std::move(record));
  return handle;
}

void cancel_task(TaskHandle& handle) {
  if (!handle.owner_) return;
  std::shared_ptr<detail::TaskRecord> task = handle.owner_->task;
  detail::request_cancel(task);
  // A task that waited for a blocking job is queued again when the job returns; claiming it here
  // keeps a canceller on the only executor thread from waiting for itself.
  std::unique_lock lock(task->done_mutex);
  while (!task->done.load()) {
    if (task->done_cv.wait_for(lock, std::chrono::milliseconds(5),
                               [&task] { return task->done.load(); })) {
      break;
    }
    lock.unlock();
    detail::claim_for_cancel(task);
    lock.lock();
  }
  handle.owner_.reset();
}

}  // namespace quorvel
