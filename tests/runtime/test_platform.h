// Platform helpers for the runtime tests: thread names, loopback sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/reactor.h"

namespace quorvel::test {

std::vector<std::string> thread_names();  // every thread of this process
std::string current_thread_name();

// What differs between Winsock and POSIX sockets; the helpers below are written once on top.
void start_sockets();  // WSAStartup once
void close_socket(NativeSocket s);
void set_nonblocking(NativeSocket s);
int last_socket_error();  // WSAGetLastError() or errno

// A socket closed by its destructor.
class TestSocket {
 public:
  TestSocket() = default;
  explicit TestSocket(NativeSocket s) : s_(s) {}
  TestSocket(TestSocket&& other) noexcept : s_(std::exchange(other.s_, INVALID)) {}
  TestSocket& operator=(TestSocket&& other) noexcept {
    if (this != &other) {
      close();
      s_ = std::exchange(other.s_, INVALID);
    }
    return *this;
  }
  TestSocket(const TestSocket&) = delete;
  ~TestSocket() { close(); }
  NativeSocket get() const { return s_; }
  void close() {
    if (s_ != INVALID) close_socket(s_);
    s_ = INVALID;
  }

  static constexpr NativeSocket INVALID = ~NativeSocket(0);

 private:
  NativeSocket s_ = INVALID;
};

// A connected loopback TCP pair; both ends non-blocking.
std::pair<TestSocket, TestSocket> tcp_pair();
// A port on 127.0.0.1 where nothing listens.
uint16_t closed_port();
// Starts a non-blocking connect to 127.0.0.1:port. `refused_at_once` is set when connect itself
// already failed with "connection refused".
TestSocket start_connect(uint16_t port, bool& refused_at_once);
int pending_socket_error(NativeSocket s);  // SO_ERROR
bool is_connection_refused(int code);

// Non-blocking send/recv: bytes moved, 0 at end of stream, -1 would block, -2 other error.
long send_some(NativeSocket s, const void* data, size_t size);
long recv_some(NativeSocket s, void* data, size_t size);
void fill_send_buffer(NativeSocket s);
// Closes the socket with a reset (SO_LINGER {1, 0}) instead of an orderly close.
void reset_close(TestSocket& s);
// Waits (up to timeout) until the socket has lost its connection, as after a reset; true if so.
bool wait_unconnected(NativeSocket s, int timeout_ms);
// Waits (blocking, up to timeout) until the socket has data or end of stream; then recv_some.
long recv_wait(NativeSocket s, void* data, size_t size, int timeout_ms);

}  // namespace quorvel::test
