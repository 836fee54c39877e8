// Socket readiness. A socket registered here can be waited on from a task:
//
//   auto reg = SocketRegistration::create(sock);      // after making the socket non-blocking
//   while (recv(...) would block) co_await reg->readable();
//
// The wait ends when the socket is readable (or writable), at end of stream, or on error or hang-up
// (a refused connect included), and says what it saw; the caller then repeats its operation and
// learns the rest. Drop the registration before closing the socket. A task cancelled while it waits
// here is safe: the awaiter's destructor withdraws the wait and the reactor keeps its in-flight
// state itself.
#pragma once

#include <coroutine>
#include <cstdint>
#include <memory>

#include "runtime/error.h"

namespace quorvel {

using NativeSocket = std::uintptr_t;  // SOCKET on Windows, int fd on POSIX

// What ended a wait; several may hold at once. Nothing set: the wait ended without news of the
// socket (its request was withdrawn), and the caller may simply wait again.
struct Readiness {
  bool read = false;    // bytes, a connection to accept, or the end of the stream
  bool write = false;   // room to send; a connect has completed
  bool hangup = false;  // the connection is gone: reset, aborted or closed here
  bool error = false;   // a connect failed, or the socket could not be waited on

  bool any() const { return read || write || hangup || error; }
};

namespace detail {

struct Source;
enum class Direction : uint8_t { Read = 0, Write = 1 };

class ReadinessAwaiter {
 public:
  ReadinessAwaiter(std::shared_ptr<Source> source, Direction direction) noexcept
      : source_(std::move(source)), direction_(direction) {}
  ReadinessAwaiter(const ReadinessAwaiter&) = delete;
  ReadinessAwaiter& operator=(const ReadinessAwaiter&) = delete;
  ~ReadinessAwaiter();

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> h);
  Readiness await_resume() noexcept;

 private:
  std::shared_ptr<Source> source_;
  Direction direction_;
  bool waiting_ = false;
};

}  // namespace detail

class SocketRegistration {
 public:
  static Result<SocketRegistration> create(NativeSocket socket);

  SocketRegistration(SocketRegistration&& other) noexcept = default;
  SocketRegistration& operator=(SocketRegistration&& other) noexcept;
  SocketRegistration(const SocketRegistration&) = delete;
  SocketRegistration& operator=(const SocketRegistration&) = delete;
  ~SocketRegistration();  // deregisters; the socket itself is closed by its owner afterwards

  detail::ReadinessAwaiter readable() { return {source_, detail::Direction::Read}; }
  detail::ReadinessAwaiter writable() { return {source_, detail::Direction::Write}; }

 private:
  explicit SocketRegistration(std::shared_ptr<detail::Source> source) noexcept
      : source_(std::move(source)) {}
  void deregister() noexcept;

  std::shared_ptr<detail::Source> source_;
};

}  // namespace quorvel
