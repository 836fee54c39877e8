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

void start_sockets() {}

void set_nonblocking(NativeSocket s) {
  const int fd = static_cast<int>(s);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int last_socket_error() {
  return errno;
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

long recv_wait(NativeSocket s, void* data, size_t size, int timeout_ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  poll(&p, 1, timeout_ms);
  return recv_some(s, data, size);
}

}  // namespace quorvel::test
