#include <pthread.h>

#include <cerrno>

#include <atomic>
#include <memory>
#include <thread>

#include "runtime/system_calls.h"
#include "runtime/thread.h"

namespace quorvel::detail {
namespace {

constexpr size_t STACK_SIZE = 0x200000;

struct Start {
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  start->body();
  return nullptr;
}

}  // namespace

Result<void> spawn_thread(const std::string& name, std::function<void()> body) {
  auto start = std::make_unique<Start>(Start{std::move(body)});
  std::string thread_name = name;
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return Error::os(rc);
  pthread_attr_setstacksize(&attr, STACK_SIZE);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const auto create_thread = std::atomic_ref(system_calls().create_thread).load();
  int rc = create_thread(&thread, &attr, thread_main, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return Error::os(rc);
  // Named by its creator, so the name is in place once this returns. Linux keeps at most 15
  // characters; every runtime name fits.
  pthread_setname_np(thread, thread_name.substr(0, 15).c_str());
  start.release();
  return success();
}

void pause_thread(std::chrono::microseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace quorvel::detail
