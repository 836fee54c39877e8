#include "runtime/reactor.h"
#include "runtime/runtime_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "runtime/frame_counter.h"
#include "runtime/task.h"
#include "runtime/test_platform.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using test::FrameCounter;
using test::TestSocket;

// Waits until the socket yields bytes or end of stream, the way a stream's read does.
Task<long> read_some(SocketRegistration& reg, NativeSocket s, char* buffer, size_t size) {
  for (;;) {
    long n = test::recv_some(s, buffer, size);
    if (n != -1) co_return n;
    co_await reg.readable();
  }
}

Task<void> reader(NativeSocket s, std::atomic<int>* woken, std::promise<std::string>* got) {
  auto reg = SocketRegistration::create(s);
  if (!reg) co_return;
  co_await reg->readable();
  woken->fetch_add(1);
  char buffer[16];
  long n = co_await read_some(*reg, s, buffer, sizeof buffer);
  got->set_value(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

Task<void> writer(NativeSocket s, std::atomic<int>* woken, std::promise<void>* writable) {
  auto reg = SocketRegistration::create(s);
  if (!reg) co_return;
  test::fill_send_buffer(s);
  co_await reg->writable();
  woken->fetch_add(1);
  writable->set_value();
}

TEST(Reactor, ReadAndWriteReadinessWakeTheRightTask) {
  auto [a, b] = test::tcp_pair();
  auto [c, d] = test::tcp_pair();
  std::atomic<int> read_woken{0}, write_woken{0};
  std::promise<std::string> got;
  std::promise<void> writable;
  TaskHandle r = spawn_task(reader(a.get(), &read_woken, &got));
  TaskHandle w = spawn_task(writer(c.get(), &write_woken, &writable));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(read_woken.load(), 0);
  EXPECT_EQ(write_woken.load(), 0);

  ASSERT_EQ(test::send_some(b.get(), "ping", 4), 4);
  auto got_future = got.get_future();
  ASSERT_EQ(got_future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(got_future.get(), "ping");
  EXPECT_EQ(read_woken.load(), 1);
  EXPECT_EQ(write_woken.load(), 0);  // its socket is still full

  std::vector<char> sink(1 << 16);
  auto writable_future = writable.get_future();
  while (writable_future.wait_for(5ms) != std::future_status::ready) {
    while (test::recv_some(d.get(), sink.data(), sink.size()) > 0) {
    }
  }
  EXPECT_EQ(write_woken.load(), 1);
  cancel_task(r);
  cancel_task(w);
}

Task<void> wait_with_owned_socket(TestSocket socket, std::promise<void>* waiting) {
  FrameCounter counter;
  TestSocket owned = std::move(socket);
  auto reg = SocketRegistration::create(owned.get());
  if (!reg) co_return;
  char buffer[16];
  waiting->set_value();
  co_await read_some(*reg, owned.get(), buffer, sizeof buffer);
  ADD_FAILURE() << "the cancelled task read something";
}

TEST(Reactor, CancellingATaskThatWaitsOnASocketClosesIt) {
  auto [mine, peer] = test::tcp_pair();
  int live_before = FrameCounter::live.load();
  std::promise<void> waiting;
  TaskHandle handle = spawn_task(wait_with_owned_socket(std::move(mine), &waiting));
  waiting.get_future().get();
  std::this_thread::sleep_for(20ms);  // let it suspend in the reactor
  cancel_task(handle);
  EXPECT_EQ(FrameCounter::live.load(), live_before);  // the frame is gone when cancel returns
  char buffer[4];
  EXPECT_EQ(test::recv_wait(peer.get(), buffer, sizeof buffer, 5000), 0);  // end of stream
}

// The poll request finds the socket ready when it is issued; the wait must still end.
TEST(Reactor, ReadinessPresentBeforeTheWaitEndsItAtOnce) {
  auto [a, b] = test::tcp_pair();
  ASSERT_EQ(test::send_some(b.get(), "ab", 2), 2);
  char check;
  ASSERT_EQ(test::recv_wait(a.get(), &check, 0, 5000), 0);  // the bytes have arrived
  auto body = [](NativeSocket s) -> Task<long> {
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return -3;
    co_await reg->readable();
    co_await reg->writable();
    char buffer[4];
    co_return test::recv_some(s, buffer, sizeof buffer);
  };
  EXPECT_EQ(block_on(body(a.get())), 2);
}

// The reset has arrived before anybody waits; it is not news any more, yet both waits must end at
// once and say that the connection is gone.
TEST(Reactor, AResetBeforeTheFirstWaitEndsBothWaitsAndIsReported) {
  auto [a, b] = test::tcp_pair();
  test::reset_close(b);
  ASSERT_TRUE(test::wait_unconnected(a.get(), 5000));
  auto body = [](NativeSocket s,
                 std::promise<std::pair<Readiness, Readiness>>* seen) -> Task<void> {
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return;
    Readiness read = co_await reg->readable();
    Readiness write = co_await reg->writable();
    seen->set_value({read, write});
  };
  std::promise<std::pair<Readiness, Readiness>> seen;
  TaskHandle task = spawn_task(body(a.get(), &seen));
  auto future = seen.get_future();
  bool ended = future.wait_for(10s) == std::future_status::ready;
  cancel_task(task);
  ASSERT_TRUE(ended) << "a wait missed the reset";
  auto [read, write] = future.get();
  EXPECT_TRUE(read.hangup || read.error);
  EXPECT_TRUE(write.hangup || write.error);
}

TEST(Reactor, EndOfStreamWakesAReader) {
  auto [a, b] = test::tcp_pair();
  std::thread closer([&b] {
    std::this_thread::sleep_for(30ms);
    b.close();
  });
  auto body = [](NativeSocket s) -> Task<long> {
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return -3;
    char c;
    co_return co_await read_some(*reg, s, &c, 1);
  };
  EXPECT_EQ(block_on(body(a.get())), 0);
  closer.join();
}

TEST(Reactor, ARefusedConnectIsReportedNotHung) {
  bool refused_at_once = false;
  TestSocket s = test::start_connect(test::closed_port(), refused_at_once);
  if (refused_at_once) GTEST_SKIP() << "connect refused before any wait";
  auto body = [](NativeSocket s) -> Task<int> {
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return -3;
    co_await reg->writable();
    co_return test::pending_socket_error(s);
  };
  int error = block_on(body(s.get()));
  EXPECT_TRUE(test::is_connection_refused(error)) << error;
}

TEST(Reactor, ThousandSpawnAndCancelRoundsLeaveNoLiveFrame) {
  auto [a, b] = test::tcp_pair();
  int live_before = FrameCounter::live.load();
  int made_before = FrameCounter::made.load();
  auto inner = [](NativeSocket s, SocketRegistration* reg) -> Task<long> {
    FrameCounter counter;
    char c;
    co_return co_await read_some(*reg, s, &c, 1);
  };
  auto body = [](NativeSocket s, decltype(inner) inner, bool blocking,
                 std::atomic<int>* reached) -> Task<void> {
    FrameCounter counter;
    auto reg = SocketRegistration::create(s);
    if (!reg) co_return;
    reached->fetch_add(1);
    if (blocking) co_await run_blocking([] { std::this_thread::yield(); });
    co_await inner(s, &*reg);
  };
  // Every fourth round cancels at once (usually before the task starts); the others cancel once
  // the task has reached its waits: on the executor, in a blocking job or in the reactor.
  std::atomic<int> reached{0};
  for (int round = 0; round < 1000; ++round) {
    int before = reached.load();
    TaskHandle handle = spawn_task(body(a.get(), inner, round % 2 == 0, &reached));
    if (round % 4 != 0) {
      for (int spin = 0; spin < 100000 && reached.load() == before; ++spin) {
        std::this_thread::yield();
      }
    }
    cancel_task(handle);
    ASSERT_EQ(FrameCounter::live.load(), live_before) << "round " << round;
  }
  EXPECT_GE(reached.load(), 700);
  EXPECT_GE(FrameCounter::made.load() - made_before, reached.load());
  // Poll requests still in flight hold their source records until their completions arrive.
  for (int i = 0; i < 2000 && detail::live_reactor_sources() != 0; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(detail::live_reactor_sources(), 0);
}

}  // namespace
}  // namespace quorvel
