// A blocking TLS client on OpenSSL that stands in for Schannel: TCP to the URL's host and port,
// a handshake restricted to what one kind of Windows client offers, and the server's certificate
// judged as Windows judges it (chain to a trusted root, host name). Every wait is bounded by the
// check's deadline, so a silent or trickling server cannot hang the check.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "check/deadline.h"
#include "check/windows_clients.h"
#include "net/byte_stream.h"
#include "runtime/error.h"

// OpenSSL's session types, owned by TlsStream.
struct ssl_ctx_st;
struct ssl_st;

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
// The same client limited to TLS 1.0 and 1.1, which the bootstrapper allows too.
TlsProfile legacy_profile_for(const WindowsClient& client);
// TLS 1.2 with every suite OpenSSL knows.
TlsProfile any_tls12_profile();
// Any version and any suite: to learn what a server speaks when TLS 1.2 fails.
TlsProfile any_tls_profile();

// The OpenSSL names of the given standard suite names that this OpenSSL can offer.
std::string openssl_cipher_list(std::span<const std::string_view> standard_names);

// A file of trusted roots holds at least one certificate OpenSSL can read; else why not.
Result<void> check_trusted_roots(const std::string& path);

struct ServerEndpoint {
  std::string host;
  uint16_t port = 443;
  std::optional<std::string> ca_file;  // the only trusted roots; none: the system's store
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

TlsOpen open_tls(const ServerEndpoint& endpoint, const TlsProfile& profile,
                 const Deadline& deadline);

// The stream the project's HTTP exchange reads and writes. Its tasks complete without suspending.
// It owns the socket and the TLS session; it moves but never copies.
class TlsStream : public ByteStream {
 public:
  struct Socket {
    explicit Socket(int fd = -1) : fd(fd) {}
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    ~Socket();
    int fd;
  };
  struct CtxFree {
    void operator()(::ssl_ctx_st* ctx) const;
  };
  struct SslFree {
    void operator()(::ssl_st* ssl) const;
  };
  using CtxPtr = std::unique_ptr<::ssl_ctx_st, CtxFree>;
  using SslPtr = std::unique_ptr<::ssl_st, SslFree>;

  TlsStream(Socket socket, CtxPtr ctx, SslPtr ssl, const Deadline& deadline);

  Task<Result<size_t>> read(std::span<uint8_t> buffer) override;
  Task<Result<size_t>> write(std::span<const uint8_t> bytes) override;
  Task<Result<void>> flush() override;
  Task<Result<void>> close() override;

 private:
  Result<size_t> read_now(std::span<uint8_t> buffer);
  Result<size_t> write_now(std::span<const uint8_t> bytes);

  Socket socket_;  // declared first: freed after the session that uses it
  CtxPtr ctx_;
  SslPtr ssl_;
  Deadline deadline_;
};

}  // namespace quorvel::check
