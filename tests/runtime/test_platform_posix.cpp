#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "runtime/test_platform.h"

namespace quorvel::test {

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string current_thread_name() {
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

void close_socket(NativeSocket s) {
  ::close(static_cast<int>(s));
}

namespace {

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

std::pair<TestSocket, TestSocket> tcp_pair() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("listener");
  }
  int client = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    throw std::runtime_error("connect");
  }
  int server = accept(listener, nullptr, nullptr);
  ::close(listener);
  set_nonblocking(client);
  set_nonblocking(server);
  return {TestSocket(static_cast<NativeSocket>(client)),
          TestSocket(static_cast<NativeSocket>(server))};
}

uint16_t closed_port() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(listener);
  return ntohs(a.sin_port);
}

TestSocket start_connect(uint16_t port, bool& refused_at_once) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  set_nonblocking(s);
  sockaddr_in a = loopback(port);
  refused_at_once =
      connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == ECONNREFUSED;
  return TestSocket(static_cast<NativeSocket>(s));
}

int pending_socket_error(NativeSocket s) {
  int error = 0;
  socklen_t len = sizeof error;
  getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &error, &len);
  return error;
}

bool is_connection_refused(int code) {
  return code == ECONNREFUSED;
}

void reset_close(TestSocket& s) {
  linger l{1, 0};
  setsockopt(static_cast<int>(s.get()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  s.close();
}

bool wait_unconnected(NativeSocket s, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; ++waited) {
    sockaddr_storage peer;
    socklen_t len = sizeof peer;
    if (getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&peer), &len) != 0 &&
        errno == ENOTCONN) {
      return true;
    }
    usleep(1000);
  }
  return false;
}

long send_some(NativeSocket s, const void* data, size_t size) {
  ssize_t n = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? -1 : -2;
}

long recv_some(NativeSocket s, void* data, size_t size) {
  ssize_t n = ::recv(static_cast<int>(s), data, size, 0);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? -1 : -2;
}

void fill_send_buffer(NativeSocket s) {
  std::vector<char> chunk(65536, 'x');
  while (send_some(s, chunk.data(), chunk.size()) > 0) {
  }
}

long recv_wait(NativeSocket s, void* data, size_t size, int timeout_ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  poll(&p, 1, timeout_ms);
  return recv_some(s, data, size);
}

}  // namespace quorvel::test
