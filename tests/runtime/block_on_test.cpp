// Runs alone in its process: no executor exists, so the only other candidate for driving the
// reactor is the async-io thread, which must leave it to the block_on thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "runtime/reactor.h"
#include "runtime/runtime_internal.h"
#include "runtime/task.h"
#include "runtime/test_platform.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

Task<long> read_some(SocketRegistration& reg, NativeSocket s, char* buffer, size_t size) {
  for (;;) {
    long n = test::recv_some(s, buffer, size);
    if (n != -1) co_return n;
    co_await reg.readable();
  }
}

TEST(BlockOn, BlockOnDrivesTheReactorWhenNoOtherThreadDoes) {
  auto [a, b] = test::tcp_pair();
  uint64_t before = detail::reactor_reacts_on_this_thread();
  std::thread sender([&b] {
    std::this_thread::sleep_for(100ms);
    test::send_some(b.get(), "x", 1);
  });
  auto body = [](NativeSocket s) -> Task<long> {
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return -3;
    char c;
    co_return co_await read_some(*reg, s, &c, 1);
  };
  EXPECT_EQ(block_on(body(a.get())), 1);
  sender.join();
  EXPECT_GT(detail::reactor_reacts_on_this_thread(), before);
}

}  // namespace
}  // namespace quorvel
