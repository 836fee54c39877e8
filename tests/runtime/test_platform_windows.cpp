#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <tlhelp32.h>

#include <stdexcept>

#include "runtime/test_platform.h"
#include "runtime/utf.h"

namespace quorvel::test {
namespace {

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

GetThreadDescriptionFn get_thread_description() {
  static const auto fn = reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  return fn;
}

std::string description_of(HANDLE thread) {
  PWSTR text = nullptr;
  auto fn = get_thread_description();
  if (fn == nullptr || FAILED(fn(thread, &text)) || text == nullptr) return {};
  std::string name = utf16_to_utf8(text).value_or("");
  LocalFree(text);
  return name;
}

}  // namespace

void start_sockets() {
  static bool done = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)done;
}

void set_nonblocking(NativeSocket s) {
  u_long on = 1;
  ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on);
}

int last_socket_error() {
  return WSAGetLastError();
}

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD pid = GetCurrentProcessId();
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    names.push_back(description_of(thread));
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return names;
}

std::string current_thread_name() {
  return description_of(GetCurrentThread());
}

void close_socket(NativeSocket s) {
  closesocket(static_cast<SOCKET>(s));
}

int pending_socket_error(NativeSocket s) {
  int error = 0;
  int len = sizeof error;
  getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
  return error;
}

bool is_connection_refused(int code) {
  return code == WSAECONNREFUSED;
}

void reset_close(TestSocket& s) {
  linger l{1, 0};
  setsockopt(static_cast<SOCKET>(s.get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l),
             sizeof l);
  s.close();
}

// Wine 8 calls a reset socket not connected at once. Windows and Wine 10 keep getpeername working
// and report the reset at the next read; the socket is readable then, which select shows without
// taking the reset away from the code under test.
bool wait_unconnected(NativeSocket s, int timeout_ms) {
  const auto socket = static_cast<SOCKET>(s);
  for (int waited = 0; waited <= timeout_ms; ++waited) {
    sockaddr_storage peer;
    int len = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &len) != 0 &&
        WSAGetLastError() == WSAENOTCONN) {
      return true;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    fd_set failed = readable;
    timeval now{0, 0};
    if (select(0, &readable, nullptr, &failed, &now) > 0) return true;
    Sleep(1);
  }
  return false;
}

long send_some(NativeSocket s, const void* data, size_t size) {
  int n = ::send(static_cast<SOCKET>(s), static_cast<const char*>(data), static_cast<int>(size), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

long recv_some(NativeSocket s, void* data, size_t size) {
  int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(data), static_cast<int>(size), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

long recv_wait(NativeSocket s, void* data, size_t size, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(s), &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  select(0, &set, nullptr, nullptr, &tv);
  return recv_some(s, data, size);
}

}  // namespace quorvel::test
