#include "support/tls_scenario.h"

#include <ws2tcpip.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace quorvel::test {

bool tls_scenarios_available() {
  return std::getenv("QUORVEL_TLS_CONTROL") != nullptr;
}

std::string tls_windows_mode() {
  const char* mode = std::getenv("QUORVEL_TLS_WINDOWS");
  return mode ? mode : "";
}

TlsScenario::TlsScenario(const std::string& line) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const char* control_port = std::getenv("QUORVEL_TLS_CONTROL");
  if (!control_port) throw std::runtime_error("QUORVEL_TLS_CONTROL is not set");
  control_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(control_port)));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (connect(control_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("cannot reach the TLS scenario control service");
  }
  std::string request = line + "\n";
  send(control_, request.data(), static_cast<int>(request.size()), 0);
  std::string ready = next_event();
  if (ready.rfind("ready ", 0) != 0) throw std::runtime_error("scenario refused: " + ready);
  port_ = static_cast<uint16_t>(std::atoi(ready.c_str() + 6));
}

TlsScenario::~TlsScenario() {
  if (control_ != INVALID_SOCKET) closesocket(control_);
}

std::string TlsScenario::next_event(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return {};
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(control_, &readable);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return {};
    char buffer[65536];
    int got = recv(control_, buffer, sizeof(buffer), 0);
    if (got <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(got));
  }
}

void TlsScenario::type_line(const std::string& line) {
  std::string typed = line + "\n";
  send(control_, typed.data(), static_cast<int>(typed.size()), 0);
}

std::string TlsScenario::wait_for(const std::string& prefix, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return {};
    std::string line = next_event(static_cast<int>(left));
    if (line.empty() || line.rfind(prefix, 0) == 0) return line;
  }
}

std::string to_hex(const std::string& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += DIGITS[c >> 4];
    hex += DIGITS[c & 15];
  }
  return hex;
}

}  // namespace quorvel::test
