// The reactor's lock, its "async-io" thread and the registration's lifetime, common to every
// platform.
#include <chrono>
#include <string>
#include <utility>

#include "runtime/reactor.h"
#include "runtime/reactor_backend.h"
#include "runtime/runtime_internal.h"
#include "runtime/thread.h"

namespace quorvel::detail {
namespace {

Mutex& reactor_mutex() {
  static auto* mutex = new Mutex();
  return *mutex;
}

std::atomic<uint64_t> reactor_ticks{0};
// Set while the lock holder sits in a wait for events without a time limit: every event is then
// handled as it comes, and the async-io thread need not look often.
std::atomic<bool> holder_waits{false};
thread_local uint64_t reacts_on_this_thread = 0;

// Pauses between the async-io thread's looks while block_on threads drive the reactor.
constexpr std::chrono::microseconds BACKOFF[] = {
    std::chrono::microseconds(50),   std::chrono::microseconds(100),
    std::chrono::microseconds(250),  std::chrono::microseconds(500),
    std::chrono::microseconds(1000), std::chrono::microseconds(2500),
    std::chrono::microseconds(5000), std::chrono::microseconds(10000)};
constexpr size_t BACKOFF_STEPS = sizeof BACKOFF / sizeof BACKOFF[0];
// The pause while the lock holder waits for events: a program whose download is stalled would
// otherwise wake this thread a hundred times a second for nothing, about a tenth of its idle CPU.
constexpr std::chrono::microseconds QUIET_PAUSE = std::chrono::milliseconds(50);

// Without block_on threads the async-io thread waits for events without a timeout. With them it
// leaves the waiting to whichever of them holds the lock and only looks now and then, stepping in
// when nobody has processed events since its last look.
void async_io_loop() {
  uint64_t last_tick = reactor_ticks.load();
  size_t sleeps = 0;
  for (;;) {
    if (block_on_count.load() == 0) {
      reactor_lock();
      reactor_react();
      reactor_unlock();
      last_tick = reactor_ticks.load();
      sleeps = 0;
      continue;
    }
    pause_thread(holder_waits.load()
                     ? QUIET_PAUSE
                     : BACKOFF[sleeps < BACKOFF_STEPS ? sleeps : BACKOFF_STEPS - 1]);
    ++sleeps;
    uint64_t tick = reactor_ticks.load();
    if (tick == last_tick && reactor_try_lock()) {
      reactor_react(0);
      reactor_unlock();
    }
    last_tick = reactor_ticks.load();
  }
}

struct ReactorStart {
  ReactorStart() {
    Result<void> ready = backend_init();
    if (!ready) {
      std::string message =
          "cannot initialize I/O event notification: " + error_text(ready.error());
      fatal(message.c_str());
    }
    if (!spawn_thread("async-io", async_io_loop)) fatal("cannot spawn async-io thread");
  }
};

}  // namespace

void reactor_start() {
  static ReactorStart* start = new ReactorStart();
  (void)start;
}
bool reactor_try_lock() {
  return reactor_mutex().try_lock();
}
void reactor_lock() {
  reactor_mutex().lock();
}
void reactor_unlock() {
  reactor_mutex().unlock();
}
void reactor_notify() {
  backend_notify();
}

void reactor_react(int timeout_ms) {
  const bool unlimited = timeout_ms < 0;
  if (unlimited) holder_waits.store(true);
  backend_wait(timeout_ms);
  if (unlimited) holder_waits.store(false);
  ++reacts_on_this_thread;
  reactor_ticks.fetch_add(1);
}

uint64_t reactor_reacts_on_this_thread() {
  return reacts_on_this_thread;
}

}  // namespace quorvel::detail

namespace quorvel {

// deregister() is the back-end's own.
SocketRegistration& SocketRegistration::operator=(SocketRegistration&& other) noexcept {
  if (this != &other) {
    deregister();
    source_ = std::move(other.source_);
  }
  return *this;
}

SocketRegistration::~SocketRegistration() {
  deregister();
}

}  // namespace quorvel
