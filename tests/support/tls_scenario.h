// The test side of the TLS scenario servers (tls_servers.py, tls_control.py): asks the control
// service named by QUORVEL_TLS_CONTROL for a server and reads the events it reports. Blocking
// Winsock on the test's own thread; Windows only.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

namespace quorvel::test {

// Whether the control service is there (the test runs under run_tls_tests.py).
bool tls_scenarios_available();
// "win7" or "win10": the Windows version the driver made the prefix report to this program.
std::string tls_windows_mode();

class TlsScenario {
 public:
  explicit TlsScenario(const std::string& line);  // starts the server; fails the test on error
  TlsScenario(const TlsScenario&) = delete;
  TlsScenario& operator=(const TlsScenario&) = delete;
  ~TlsScenario();  // stops the server

  uint16_t port() const { return port_; }
  // The next event line, or "" after `timeout_ms` without one.
  std::string next_event(int timeout_ms = 10000);
  // Types a line into an interactive openssl s_server (scenario word interactive=1).
  void type_line(const std::string& line);
  // Skips events until one starts with `prefix`; "" on timeout.
  std::string wait_for(const std::string& prefix, int timeout_ms = 10000);

 private:
  SOCKET control_ = INVALID_SOCKET;
  std::string pending_;
  uint16_t port_ = 0;
};

std::string to_hex(const std::string& bytes);

}  // namespace quorvel::test
