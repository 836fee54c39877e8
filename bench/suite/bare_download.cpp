// The bare download loop the program's download is measured against: one HTTPS GET over
// SecureStream, 8 KiB reads, each body chunk written to the file with WriteFile on the same thread
// before the next read. No progress, no blocking pool. After one warm-up connection, prints "start"
// before it connects and "done BYTES" once the file and the connection are closed, so the caller
// can time and sample it.
//
//   bare_download HOST PORT PATH OUTPUT_FILE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/secure_connect.h"
#include "runtime/task.h"

namespace quorvel {
namespace {

class OutputFile {
 public:
  explicit OutputFile(const char* path)
      : handle_(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { close(); }

  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool write(const uint8_t* data, size_t size) {
    while (size > 0) {
      DWORD n = 0;
      if (!WriteFile(handle_, data, static_cast<DWORD>(size), &n, nullptr) || n == 0) return false;
      data += n;
      size -= n;
    }
    return true;
  }
  bool close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

Error failure(const char* message) {
  return Error::kind(ErrorKind::InvalidData, message);
}

// One connection opened and closed before the timing starts. The program's timed GET is its second
// connection: the security DLLs are loaded and initialised by its HEAD request. Without this, the
// loop's figure would carry that one-time set-up (50-85 ms under Wine) and the program's would not.
Task<Result<void>> warm_up(std::string host, uint16_t port) {
  auto stream = co_await connect_secure(host, port);
  if (!stream) co_return stream.take_error();
  co_return co_await (*stream)->close();
}

// Body bytes written to the file.
Task<Result<uint64_t>> fetch(std::string host, uint16_t port, std::string path, OutputFile& file) {
  auto stream = co_await connect_secure(host, port);
  if (!stream) co_return stream.take_error();
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
  std::span<const uint8_t> rest(reinterpret_cast<const uint8_t*>(request.data()), request.size());
  while (!rest.empty()) {
    auto taken = co_await (*stream)->write(rest);
    if (!taken) co_return taken.take_error();
    rest = rest.subspan(*taken);
  }
  if (auto sent = co_await (*stream)->flush(); !sent) co_return sent.take_error();

  static uint8_t buffer[8192];
  std::string head;  // until the blank line that ends the reply's head
  bool in_body = false;
  uint64_t total = 0;
  for (;;) {
    auto got = co_await (*stream)->read(buffer);
    if (!got) co_return got.take_error();
    if (*got == 0) break;
    const uint8_t* body = buffer;
    size_t size = *got;
    if (!in_body) {
      const size_t before = head.size();
      head.append(reinterpret_cast<const char*>(buffer), size);
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      in_body = true;
      const size_t skip = end + 4 - before;
      body += skip;
      size -= skip;
    }
    if (!file.write(body, size)) co_return failure("write failed");
    total += size;
  }
  if (!file.close()) co_return failure("close failed");
  if (auto closed = co_await (*stream)->close(); !closed) co_return closed.take_error();
  co_return total;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bare_download HOST PORT PATH OUTPUT_FILE\n");
    return 2;
  }
  quorvel::OutputFile file(argv[4]);
  if (!file.ok()) {
    std::fprintf(stderr, "cannot create %s\n", argv[4]);
    return 1;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  if (auto warm = quorvel::block_on(quorvel::warm_up(argv[1], port)); !warm) {
    std::fprintf(stderr, "warm-up failed: %s\n", quorvel::error_text(warm.error()).c_str());
    return 1;
  }
  std::printf("start\n");
  std::fflush(stdout);
  auto total = quorvel::block_on(quorvel::fetch(argv[1], port, argv[3], file));
  if (!total) {
    std::fprintf(stderr, "failed: %s\n", quorvel::error_text(total.error()).c_str());
    return 1;
  }
  std::printf("done %llu\n", static_cast<unsigned long long>(*total));
  std::fflush(stdout);
  return 0;
}
