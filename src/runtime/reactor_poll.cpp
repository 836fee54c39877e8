// The native reactor: poll() over the sockets that have waiting tasks, plus a pipe that interrupts
// the wait when a new wait is added.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "runtime/reactor.h"
#include "runtime/reactor_backend.h"
#include "runtime/runtime_internal.h"

namespace quorvel {
namespace detail {

std::atomic<int> live_sources{0};
int live_reactor_sources() {
  return live_sources.load();
}

struct Source {
  int fd;
  Source() { live_sources.fetch_add(1); }
  Source(const Source&) = delete;
  ~Source() { live_sources.fetch_sub(1); }

  std::shared_ptr<TaskRecord> waiters[2];  // indexed by Direction
  Readiness seen[2];                       // what woke each direction's last waiter
};

namespace {

struct PollState {
  std::mutex mutex;  // guards sources and their waiters
  std::vector<std::shared_ptr<Source>> sources;
  int wake_read = -1;
  int wake_write = -1;
};

PollState& state() {
  static auto* s = new PollState();
  return *s;
}

constexpr short READ_EVENTS = POLLIN | POLLHUP | POLLERR | POLLNVAL;
constexpr short WRITE_EVENTS = POLLOUT | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

Result<void> backend_init() {
  int fds[2];
  if (pipe(fds) != 0) return Error::os(errno);
  for (int fd : fds) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  state().wake_read = fds[0];
  state().wake_write = fds[1];
  return success();
}

void backend_notify() {
  char byte = 1;
  // A full pipe already holds a pending wake-up.
  (void)!write(state().wake_write, &byte, 1);
}

void backend_wait(int timeout_ms) {
  PollState& s = state();
  std::vector<pollfd> fds{{s.wake_read, POLLIN, 0}};
  std::vector<std::shared_ptr<Source>> polled;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& source : s.sources) {
      short events = 0;
      if (source->waiters[0]) events |= POLLIN;
      if (source->waiters[1]) events |= POLLOUT;
      if (events == 0) continue;
      fds.push_back({source->fd, events, 0});
      polled.push_back(source);
    }
  }
  if (poll(fds.data(), fds.size(), timeout_ms) < 0) return;  // EINTR: the caller waits again
  if (fds[0].revents != 0) {
    char buffer[64];
    while (read(s.wake_read, buffer, sizeof buffer) > 0) {
    }
  }
  std::vector<std::shared_ptr<TaskRecord>> ready;
  {
    std::lock_guard lock(s.mutex);
    for (size_t i = 0; i < polled.size(); ++i) {
      short revents = fds[i + 1].revents;
      Source& source = *polled[i];
      Readiness seen{.read = (revents & POLLIN) != 0,
                     .write = (revents & POLLOUT) != 0,
                     .hangup = (revents & POLLHUP) != 0,
                     .error = (revents & (POLLERR | POLLNVAL)) != 0};
      if ((revents & READ_EVENTS) && source.waiters[0]) {
        source.seen[0] = seen;
        ready.push_back(std::move(source.waiters[0]));
      }
      if ((revents & WRITE_EVENTS) && source.waiters[1]) {
        source.seen[1] = seen;
        ready.push_back(std::move(source.waiters[1]));
      }
    }
  }
  for (const auto& task : ready) wake(task);
}

ReadinessAwaiter::~ReadinessAwaiter() {
  if (!waiting_) return;
  std::lock_guard lock(state().mutex);
  source_->waiters[static_cast<int>(direction_)].reset();
}

bool ReadinessAwaiter::await_suspend(std::coroutine_handle<> h) {
  std::shared_ptr<TaskRecord> task = suspend_current(h);
  {
    std::lock_guard lock(state().mutex);
    auto& slot = source_->waiters[static_cast<int>(direction_)];
    if (slot) fatal("two tasks wait on the same socket in the same direction");
    slot = std::move(task);
  }
  waiting_ = true;
  backend_notify();
  return true;
}

Readiness ReadinessAwaiter::await_resume() noexcept {
  waiting_ = false;
  std::lock_guard lock(state().mutex);
  return source_->seen[static_cast<int>(direction_)];
}

}  // namespace detail

Result<SocketRegistration> SocketRegistration::create(NativeSocket socket) {
  detail::reactor_start();
  auto source = std::make_shared<detail::Source>();
  source->fd = static_cast<int>(socket);
  {
    std::lock_guard lock(detail::state().mutex);
    detail::state().sources.push_back(source);
  }
  return SocketRegistration(std::move(source));
}

void SocketRegistration::deregister() noexcept {
  if (!source_) return;
  auto& s = detail::state();
  {
    std::lock_guard lock(s.mutex);
    std::erase(s.sources, source_);
    source_->waiters[0].reset();
    source_->waiters[1].reset();
  }
  source_.reset();
  // The poll set may still name the descriptor that is about to be closed.
  detail::backend_notify();
}

}  // namespace quorvel
