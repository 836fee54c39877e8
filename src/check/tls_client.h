// A blocking TLS client on OpenSSL that stands in for Schannel: TCP to the URL's host and port,
// a handshake restricted to what one kind of Windows client offers, and the server's certificate
// judged as Windows judges it (chain to a trusted root, host name). Every wait is bounded by the
// timeout, so a silent server cannot hang the check.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "check/windows_clients.h"
#include "net/byte_stream.h"
#include "runtime/error.h"

namespace quorvel::check {

// What a handshake may offer.
struct TlsProfile {
  std::string cipher_list;  // OpenSSL's syntax
  std::string groups;       // empty: OpenSSL's defaults
  std::string signature_algorithms;
  int min_version = 0;  // TLS1_2_VERSION ...; 0: no bound
  int max_version = 0;
};

// Offers exactly the client's TLS 1.2 suites, curves and signature algorithms.
TlsProfile profile_for(const WindowsClient& client);
// TLS 1.2 with every suite OpenSSL knows.
TlsProfile any_tls12_profile();
// Any version and any suite: to learn what a server speaks when TLS 1.2 fails.
TlsProfile any_tls_profile();

// The OpenSSL names of the given standard suite names that this OpenSSL can offer.
std::string openssl_cipher_list(std::span<const std::string_view> standard_names);

struct ServerEndpoint {
  std::string host;
  uint16_t port = 443;
  std::optional<std::string> ca_file;  // the only trusted roots; none: the system's store
  int timeout_seconds = 30;
};

// What the handshake settled and what the certificate check found.
struct TlsFacts {
  std::string version;  // "TLSv1.2"
  std::string suite;    // standard name
  bool certificate_ok = false;
  std::string certificate_text;  // why not, or what was verified
};

class TlsStream;

struct TlsOpen {
  enum class Failure { None, Connect, Handshake };
  Failure failure = Failure::None;
  std::optional<Error> error;  // Connect: resolution or TCP; Handshake: TLS
  std::unique_ptr<TlsStream> stream;
  TlsFacts facts;
};

TlsOpen open_tls(const ServerEndpoint& endpoint, const TlsProfile& profile);

// The stream the project's HTTP exchange reads and writes. Its tasks complete without suspending.
class TlsStream : public ByteStream {
 public:
  ~TlsStream() override;
  Task<Result<size_t>> read(std::span<uint8_t> buffer) override;
  Task<Result<size_t>> write(std::span<const uint8_t> bytes) override;
  Task<Result<void>> flush() override;
  Task<Result<void>> close() override;

 private:
  friend TlsOpen open_tls(const ServerEndpoint&, const TlsProfile&);
  TlsStream(int fd, void* ssl, int timeout_seconds)
      : fd_(fd), ssl_(ssl), timeout_seconds_(timeout_seconds) {}
  Result<size_t> read_now(std::span<uint8_t> buffer);
  Result<size_t> write_now(std::span<const uint8_t> bytes);

  int fd_;
  void* ssl_;  // SSL*
  int timeout_seconds_;
};

}  // namespace quorvel::check
