#include "check/tls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace quorvel::check {

namespace {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Socket() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

// OpenSSL's queued errors as one text (the last one is the most specific), queue cleared.
std::string ssl_error_text(const char* fallback) {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    const char* reason = ERR_reason_error_string(code);
    text = reason ? reason : buffer;
  }
  return text.empty() ? fallback : text;
}

Error timed_out(int seconds) {
  return Error::kind(ErrorKind::TimedOut,
                     "no answer from the server for " + std::to_string(seconds) + " s");
}

bool is_ip_literal(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Tries every resolved address in turn, each bounded by the timeout, like the bootstrapper.
Result<Socket> connect_tcp(const ServerEndpoint& endpoint) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(endpoint.port);
  if (int rc = getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return Error::kind(ErrorKind::NotFound,
                       "cannot resolve " + endpoint.host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  std::optional<Error> last;
  for (addrinfo* a = found; a; a = a->ai_next) {
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (s.get() < 0) {
      last = Error::os(errno);
      continue;
    }
    if (::connect(s.get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      last = Error::os(errno);
      continue;
    }
    pollfd p{s.get(), POLLOUT, 0};
    const int ready = ::poll(&p, 1, endpoint.timeout_seconds * 1000);
    if (ready <= 0) {
      last = ready == 0 ? timed_out(endpoint.timeout_seconds) : Error::os(errno);
      continue;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      last = Error::os(so_error);
      continue;
    }
    // Blocking from here on, every read and write bounded by the timeout.
    ::fcntl(s.get(), F_SETFL, ::fcntl(s.get(), F_GETFL) & ~O_NONBLOCK);
    timeval tv{endpoint.timeout_seconds, 0};
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return s;
  }
  if (!last)
    return Error::kind(ErrorKind::InvalidInput, "could not connect to any of the addresses");
  return *last;
}

// A chain Windows can build needs every certificate below the root from the server itself: the
// server's own chain is the only place the bootstrapper's chain engine is sure to find them.
std::optional<std::string> certificate_missing_from_chain(SSL* ssl) {
  STACK_OF(X509)* verified = SSL_get0_verified_chain(ssl);
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
  if (!verified || !sent) return std::nullopt;
  const int count = sk_X509_num(verified);
  for (int i = 1; i + 1 < count; ++i) {  // the leaf is always sent; the root need not be
    X509* needed = sk_X509_value(verified, i);
    bool found = false;
    for (int j = 0; j < sk_X509_num(sent) && !found; ++j) {
      found = X509_cmp(needed, sk_X509_value(sent, j)) == 0;
    }
    if (!found) {
      char name[256];
      X509_NAME_oneline(X509_get_subject_name(needed), name, sizeof name);
      return std::string(name);
    }
  }
  return std::nullopt;
}

void judge_certificate(SSL* ssl, const ServerEndpoint& endpoint, TlsFacts& facts) {
  X509* leaf = SSL_get0_peer_certificate(ssl);
  if (!leaf) {
    facts.certificate_text = "the server sent no certificate";
    return;
  }
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) {
    facts.certificate_text = X509_verify_cert_error_string(result);
    if (result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) {
      facts.certificate_text +=
          " (the server does not send its intermediate certificates, or its root is not trusted)";
    }
    return;
  }
  if (auto missing = certificate_missing_from_chain(ssl)) {
    facts.certificate_text = "valid, but the server does not send the intermediate certificate " +
                             *missing + "; Windows may not find it";
    return;
  }
  facts.certificate_ok = true;
  const int length = sk_X509_num(SSL_get0_verified_chain(ssl));
  facts.certificate_text =
      "chain of " + std::to_string(length) + " complete and trusted, valid for " + endpoint.host;
}

}  // namespace

std::string openssl_cipher_list(std::span<const std::string_view> standard_names) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  std::string list;
  if (!ctx || !SSL_CTX_set_cipher_list(ctx.get(), "ALL:COMPLEMENTOFALL:@SECLEVEL=0")) return list;
  STACK_OF(SSL_CIPHER)* known = SSL_CTX_get_ciphers(ctx.get());
  for (std::string_view wanted : standard_names) {
    for (int i = 0; i < sk_SSL_CIPHER_num(known); ++i) {
      const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(known, i);
      const char* standard = SSL_CIPHER_standard_name(cipher);
      if (standard && wanted == standard) {
        if (!list.empty()) list += ':';
        list += SSL_CIPHER_get_name(cipher);
        break;
      }
    }
  }
  ERR_clear_error();
  return list;
}

TlsProfile profile_for(const WindowsClient& client) {
  TlsProfile profile;
  // Security level 0: the check offers what Windows offers, whatever OpenSSL's own policy says.
  profile.cipher_list = openssl_cipher_list(client.suites) + ":@SECLEVEL=0";
  profile.groups = client.groups;
  profile.signature_algorithms = client.signature_algorithms;
  profile.min_version = TLS1_2_VERSION;
  profile.max_version = TLS1_2_VERSION;
  return profile;
}

TlsProfile any_tls12_profile() {
  TlsProfile profile;
  profile.cipher_list = "ALL:@SECLEVEL=0";
  profile.min_version = TLS1_2_VERSION;
  profile.max_version = TLS1_2_VERSION;
  return profile;
}

TlsProfile any_tls_profile() {
  TlsProfile profile;
  profile.cipher_list = "ALL:@SECLEVEL=0";
  return profile;
}

TlsOpen open_tls(const ServerEndpoint& endpoint, const TlsProfile& profile) {
  TlsOpen open;
  auto tcp = connect_tcp(endpoint);
  if (!tcp) {
    open.failure = TlsOpen::Failure::Connect;
    open.error = tcp.take_error();
    return open;
  }
  auto fail = [&](std::string text) {
    open.failure = TlsOpen::Failure::Handshake;
    open.error = Error::other(std::move(text));
    return std::move(open);
  };

  ERR_clear_error();
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return fail(ssl_error_text("SSL_CTX_new failed"));
  if (profile.min_version) SSL_CTX_set_min_proto_version(ctx.get(), profile.min_version);
  if (profile.max_version) SSL_CTX_set_max_proto_version(ctx.get(), profile.max_version);
  if (!SSL_CTX_set_cipher_list(ctx.get(), profile.cipher_list.c_str())) {
    return fail("no cipher suite to offer: " + ssl_error_text("bad cipher list"));
  }
  if (!profile.groups.empty() && !SSL_CTX_set1_groups_list(ctx.get(), profile.groups.c_str())) {
    return fail(ssl_error_text("bad group list"));
  }
  if (!profile.signature_algorithms.empty() &&
      !SSL_CTX_set1_sigalgs_list(ctx.get(), profile.signature_algorithms.c_str())) {
    return fail(ssl_error_text("bad signature algorithm list"));
  }
  // Schannel ends a stream at a TCP end of stream as at a close_notify.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
  const bool trusted = endpoint.ca_file ? SSL_CTX_load_verify_locations(
                                              ctx.get(), endpoint.ca_file->c_str(), nullptr)
                                        : SSL_CTX_set_default_verify_paths(ctx.get());
  if (!trusted) return fail("cannot load the trusted roots: " + ssl_error_text("unknown error"));
  // The handshake goes on whatever the certificate: the check reports it and judges the rest too.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);

  SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) return fail(ssl_error_text("SSL_new failed"));
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
  if (is_ip_literal(endpoint.host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, endpoint.host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), endpoint.host.c_str());
    X509_VERIFY_PARAM_set1_host(param, endpoint.host.c_str(), 0);
  }
  Socket socket = std::move(*tcp);
  SSL_set_fd(ssl.get(), socket.get());
  errno = 0;
  if (const int rc = SSL_connect(ssl.get()); rc != 1) {
    const int saved = errno;
    const int error = SSL_get_error(ssl.get(), rc);
    std::string text = ssl_error_text("");
    if (text.empty()) {
      text =
          error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE || saved == EAGAIN ||
                  saved == EWOULDBLOCK
              ? "no answer from the server for " + std::to_string(endpoint.timeout_seconds) + " s"
          : saved != 0 ? error_text(Error::os(saved))
                       : "the server closed the connection during the handshake";
    }
    return fail(text);
  }

  open.facts.version = SSL_get_version(ssl.get());
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl.get());
  const char* standard = cipher ? SSL_CIPHER_standard_name(cipher) : nullptr;
  open.facts.suite = standard ? standard : (cipher ? SSL_CIPHER_get_name(cipher) : "?");
  judge_certificate(ssl.get(), endpoint, open.facts);
  open.stream.reset(new TlsStream(socket.release(), ssl.release(), endpoint.timeout_seconds));
  return open;
}

TlsStream::~TlsStream() {
  SSL_free(static_cast<SSL*>(ssl_));
  ::close(fd_);
}

Result<size_t> TlsStream::read_now(std::span<uint8_t> buffer) {
  SSL* ssl = static_cast<SSL*>(ssl_);
  ERR_clear_error();
  errno = 0;
  const int n =
      SSL_read(ssl, buffer.data(), static_cast<int>(std::min<size_t>(buffer.size(), INT_MAX)));
  if (n > 0) return static_cast<size_t>(n);
  const int saved = errno;
  switch (SSL_get_error(ssl, n)) {
    case SSL_ERROR_ZERO_RETURN:
      return size_t{0};
    case SSL_ERROR_WANT_READ:  // the socket's receive timeout ran out
    case SSL_ERROR_WANT_WRITE:
      return timed_out(timeout_seconds_);
    case SSL_ERROR_SYSCALL:
      if (saved == EAGAIN || saved == EWOULDBLOCK) return timed_out(timeout_seconds_);
      if (saved == 0 && ERR_peek_error() == 0) return size_t{0};
      if (saved != 0) return Error::os(saved);
      break;
    default:
      break;
  }
  return Error::other(ssl_error_text("TLS read failed"));
}

Result<size_t> TlsStream::write_now(std::span<const uint8_t> bytes) {
  SSL* ssl = static_cast<SSL*>(ssl_);
  if (bytes.empty()) return size_t{0};
  ERR_clear_error();
  errno = 0;
  const int n =
      SSL_write(ssl, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX)));
  if (n > 0) return static_cast<size_t>(n);
  const int saved = errno;
  const int error = SSL_get_error(ssl, n);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE || saved == EAGAIN ||
      saved == EWOULDBLOCK) {
    return timed_out(timeout_seconds_);
  }
  if (saved != 0) return Error::os(saved);
  return Error::other(ssl_error_text("TLS write failed"));
}

Task<Result<size_t>> TlsStream::read(std::span<uint8_t> buffer) {
  co_return read_now(buffer);
}

Task<Result<size_t>> TlsStream::write(std::span<const uint8_t> bytes) {
  co_return write_now(bytes);
}

Task<Result<void>> TlsStream::flush() {
  co_return success();  // every write went out whole
}

Task<Result<void>> TlsStream::close() {
  ERR_clear_error();
  SSL_shutdown(static_cast<SSL*>(ssl_));  // close_notify; the server may already be gone
  ERR_clear_error();
  co_return success();
}

}  // namespace quorvel::check
