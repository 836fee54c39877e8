// The loopback socket helpers of test_platform.h that read the same on both systems.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
using SocketLength = socklen_t;
#endif

#include <stdexcept>

#include "runtime/test_platform.h"

namespace quorvel::test {
namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr* as_address(sockaddr_in& a) {
  return reinterpret_cast<sockaddr*>(&a);
}

TestSocket tcp_socket() {
  start_sockets();
  return TestSocket(static_cast<NativeSocket>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
}

}  // namespace

std::pair<TestSocket, TestSocket> tcp_pair() {
  TestSocket listener = tcp_socket();
  sockaddr_in a = loopback(0);
  SocketLength len = sizeof a;
  if (bind(listener.get(), as_address(a), sizeof a) != 0 || listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), as_address(a), &len) != 0) {
    throw std::runtime_error("listener");
  }
  TestSocket client = tcp_socket();
  if (connect(client.get(), as_address(a), sizeof a) != 0) throw std::runtime_error("connect");
  TestSocket server(static_cast<NativeSocket>(accept(listener.get(), nullptr, nullptr)));
  set_nonblocking(client.get());
  set_nonblocking(server.get());
  return {std::move(client), std::move(server)};
}

uint16_t closed_port() {
  TestSocket listener = tcp_socket();
  sockaddr_in a = loopback(0);
  SocketLength len = sizeof a;
  bind(listener.get(), as_address(a), sizeof a);
  getsockname(listener.get(), as_address(a), &len);
  return ntohs(a.sin_port);
}

TestSocket start_connect(uint16_t port, bool& refused_at_once) {
  TestSocket s = tcp_socket();
  set_nonblocking(s.get());
  sockaddr_in a = loopback(port);
  refused_at_once =
      connect(s.get(), as_address(a), sizeof a) != 0 && is_connection_refused(last_socket_error());
  return s;
}

void fill_send_buffer(NativeSocket s) {
  std::vector<char> chunk(65536, 'x');
  while (send_some(s, chunk.data(), chunk.size()) > 0) {
  }
}

}  // namespace quorvel::test
