// Throughput of SecureStream: fetches one file over HTTPS with 8 KiB reads and prints the rate and
// the process's CPU time per MiB.
//
//   tls_throughput_bench HOST PORT PATH
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/secure_stream.h"
#include "net/tcp_connection.h"
#include "net/tls_settings.h"
#include "runtime/task.h"

namespace quorvel {
namespace {

double cpu_seconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](FILETIME t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

double wall_seconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Bytes of the reply, headers included; the server ends the stream after the body.
Task<Result<uint64_t>> fetch(std::string host, uint16_t port, std::string path) {
  auto connection = co_await connect_tcp(host, port);
  if (!connection) co_return connection.take_error();
  auto stream = co_await tls_connect(program_tls_settings(), host, std::move(*connection));
  if (!stream) co_return stream.take_error();
  std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
  std::span<const uint8_t> rest(reinterpret_cast<const uint8_t*>(request.data()), request.size());
  while (!rest.empty()) {
    auto taken = co_await (*stream)->write(rest);
    if (!taken) co_return taken.take_error();
    rest = rest.subspan(*taken);
  }
  if (auto sent = co_await (*stream)->flush(); !sent) co_return sent.take_error();
  static uint8_t buffer[8192];
  uint64_t total = 0;
  for (;;) {
    auto got = co_await (*stream)->read(buffer);
    if (!got) co_return got.take_error();
    if (*got == 0) break;
    total += *got;
  }
  co_return total;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tls_throughput_bench HOST PORT PATH\n");
    return 2;
  }
  double wall = quorvel::wall_seconds();
  double cpu = quorvel::cpu_seconds();
  auto total = quorvel::block_on(
      quorvel::fetch(argv[1], static_cast<uint16_t>(std::atoi(argv[2])), argv[3]));
  wall = quorvel::wall_seconds() - wall;
  cpu = quorvel::cpu_seconds() - cpu;
  if (!total) {
    std::fprintf(stderr, "failed: %s\n", quorvel::error_text(total.error()).c_str());
    return 1;
  }
  double mib = static_cast<double>(*total) / (1024.0 * 1024.0);
  std::printf("SecureStream: %.1f MiB in %.2f s: %.1f MB/s, %.4f CPU s/MiB\n", mib, wall,
              static_cast<double>(*total) / wall / 1e6, cpu / mib);
  return 0;
}
