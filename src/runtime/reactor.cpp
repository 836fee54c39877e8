// The reactor's lock and its "async-io" thread, common to every platform.
#include <mutex>
#include <string>

#include "runtime/reactor_backend.h"
#include "runtime/runtime_internal.h"
#include "runtime/thread.h"

namespace quorvel::detail {
namespace {

std::mutex& reactor_mutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

struct ReactorStart {
  ReactorStart() {
    Result<void> ready = backend_init();
    if (!ready) {
      std::string message =
          "cannot initialize I/O event notification: " + error_text(ready.error());
      fatal(message.c_str());
    }
    // The thread waits for events whenever no block_on thread does so itself: a block_on thread
    // holding the lock keeps it out of the way.
    if (!spawn_thread("async-io", [] {
          for (;;) {
            reactor_lock();
            reactor_react();
            reactor_unlock();
          }
        })) {
      fatal("cannot spawn async-io thread");
    }
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
void reactor_react() {
  backend_wait();
}
void reactor_notify() {
  backend_notify();
}

}  // namespace quorvel::detail
