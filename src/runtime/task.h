// Tasks: lazy C++20 coroutines run by the process-wide executor ("smol-N" threads), by block_on on
// the calling thread, with blocking work handed to the blocking pool ("blocking-N" threads).
//
//   Task<int> answer() { co_return 42; }
//   Task<void> job() { int x = co_await answer(); co_await run_blocking([] { return 1; }); }
//   TaskHandle handle = spawn_task(job());   // runs on an executor thread
//   cancel_task(handle);                     // frame destroyed when this returns
//   int y = block_on(answer());              // runs on this thread
//
// A cancelled task is destroyed at its current or next suspension point; destroying its root frame
// destroys the nested Task frames and the awaiters they wait on, so their destructors close sockets
// and files. A task must only suspend on Task, run_blocking or reactor awaitables.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/error.h"

namespace quorvel {

template <class T = void>
class Task;

namespace detail {

struct TaskRecord;

struct PromiseBase {
  std::coroutine_handle<> continuation;  // the awaiting coroutine; empty for a root

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> done) noexcept {
      std::coroutine_handle<> next = done.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { std::terminate(); }
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  void return_value(T v) { value.emplace(std::move(v)); }
  T take() { return std::move(*value); }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void take() noexcept {}
};

// Runs the root coroutine to completion on the calling thread (see block_on).
void block_on_root(std::coroutine_handle<> root);

// Hands run(context) to the blocking pool on behalf of the running task, which is suspended at
// `suspended` and resumed once run has returned. When the pool has no thread and cannot make one,
// fail(context, error) is called instead, or, for a job whose result cannot hold an error (no
// fail), run(context) on this thread.
using BlockingFail = void (*)(void*, Error);
void submit_blocking(void (*run)(void*), BlockingFail fail, void* context,
                     std::coroutine_handle<> suspended);

template <class F, class R>
class BlockingAwaiter {
 public:
  explicit BlockingAwaiter(F f) : f_(std::move(f)) {}
  BlockingAwaiter(const BlockingAwaiter&) = delete;
  BlockingAwaiter& operator=(const BlockingAwaiter&) = delete;

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    if constexpr (std::is_constructible_v<R, Error>) {
      submit_blocking(&run, &fail, this, h);
    } else {
      submit_blocking(&run, nullptr, this, h);
    }
  }
  R await_resume() { return std::move(*result_); }

 private:
  static void run(void* self) {
    auto* a = static_cast<BlockingAwaiter*>(self);
    a->result_.emplace(a->f_());
  }
  static void fail(void* self, Error error) {
    static_cast<BlockingAwaiter*>(self)->result_.emplace(std::move(error));
  }
  F f_;
  std::optional<R> result_;
};

template <class F>
class BlockingAwaiter<F, void> {
 public:
  explicit BlockingAwaiter(F f) : f_(std::move(f)) {}
  BlockingAwaiter(const BlockingAwaiter&) = delete;
  BlockingAwaiter& operator=(const BlockingAwaiter&) = delete;

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) { submit_blocking(&run, nullptr, this, h); }
  void await_resume() noexcept {}

 private:
  static void run(void* self) { static_cast<BlockingAwaiter*>(self)->f_(); }
  F f_;
};

// Shared by the copies of one TaskHandle; the last copy to go cancels the task unless detached.
struct TaskOwner;

}  // namespace detail

// A lazy coroutine: nothing runs until it is awaited, spawned or given to block_on. Move-only; the
// owner destroys the frame.
template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle h) noexcept : h_(h) {}
  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (h_) h_.destroy();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  ~Task() {
    if (h_) h_.destroy();
  }

  explicit operator bool() const noexcept { return static_cast<bool>(h_); }

  auto operator co_await() && noexcept {
    struct Awaiter {
      Handle h;
      bool await_ready() const noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h.promise().continuation = awaiting;
        return h;
      }
      T await_resume() { return h.promise().take(); }
    };
    return Awaiter{h_};
  }

  Handle handle() const noexcept { return h_; }
  Handle release() noexcept { return std::exchange(h_, {}); }

 private:
  Handle h_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

// The handle of a spawned task. Copies share the task; when the last copy goes away the task is
// cancelled (without waiting) unless detach() was called. Default-constructed: empty.
class TaskHandle {
 public:
  TaskHandle() = default;

  explicit operator bool() const noexcept { return static_cast<bool>(owner_); }
  bool finished() const;  // the task ran to its end or was destroyed by a cancellation
  void detach();          // let the task run on after the last copy of the handle is gone

 private:
  friend TaskHandle spawn_task(Task<void> task);
  friend void cancel_task(TaskHandle& handle);
  std::shared_ptr<detail::TaskOwner> owner_;
};

// Queues the task on the executor, creating the executor and its threads on first use.
[[nodiscard]] TaskHandle spawn_task(Task<void> task);

// Marks the task cancelled and blocks until its frame has been destroyed, at its current or next
// suspension point. While one of its run_blocking jobs is in flight the destruction waits for the
// job to return. Returns at once for an empty handle or a finished task. Leaves the handle empty.
void cancel_task(TaskHandle& handle);

// Runs the task to completion on the calling thread and yields its result. While the task waits,
// this thread processes the reactor's events itself when no other thread does.
template <class T>
T block_on(Task<T> task) {
  detail::block_on_root(task.handle());
  return task.handle().promise().take();
}

// `co_await run_blocking(f)` runs f() on the blocking pool and yields its result; the executor
// thread is free meanwhile. f may refer to the task's frame: a cancellation waits for it.
template <class F>
auto run_blocking(F f) {
  return detail::BlockingAwaiter<F, std::invoke_result_t<F&>>(std::move(f));
}

}  // namespace quorvel
