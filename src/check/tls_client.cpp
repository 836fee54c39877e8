#include "check/tls_client.h"
#include "check/tls_internal.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace quorvel::check {

TlsStream::Socket::Socket(Socket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

TlsStream::Socket& TlsStream::Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

TlsStream::Socket::~Socket() {
  if (fd >= 0) ::close(fd);
}

void TlsStream::CtxFree::operator()(SSL_CTX* ctx) const {
  SSL_CTX_free(ctx);
}

void TlsStream::SslFree::operator()(SSL* ssl) const {
  SSL_free(ssl);
}

namespace {

using Socket = TlsStream::Socket;

Error timed_out(const Deadline& deadline) {
  if (deadline.passed()) {
    return Error::kind(ErrorKind::TimedOut, "the check's " +
                                                std::to_string(deadline.whole_run().count()) +
                                                " s ran out while waiting for the server");
  }
  return Error::kind(ErrorKind::TimedOut, "no answer from the server for " +
                                              std::to_string(deadline.each_wait().count()) + " s");
}

// What one OpenSSL call came to: its result, SSL_get_error's answer and errno right after it, or
// a wait that ran out.
struct SslOutcome {
  int rc = 0;
  int ssl_error = SSL_ERROR_SSL;
  int saved_errno = 0;
  bool timed_out = false;
};

}  // namespace

// Every OpenSSL failure becomes an Error here, and only here. The queue of OpenSSL's errors is
// read and cleared.
Error ssl_failure(const SslOutcome& outcome, const Deadline& deadline, const char* fallback) {
  std::string queued;
  while (unsigned long code = ERR_get_error()) {
    // The last one is the most specific.
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    const char* reason = ERR_reason_error_string(code);
    queued = reason ? reason : buffer;
  }
  if (outcome.timed_out) return timed_out(deadline);
  if (!queued.empty()) return Error::other(std::move(queued));
  if (outcome.saved_errno != 0) return Error::os(outcome.saved_errno);
  return Error::other(fallback);
}

Error ssl_failure(const Deadline& deadline, const char* fallback) {
  return ssl_failure(SslOutcome{}, deadline, fallback);
}

namespace {

// Waits until the socket is ready for `events`; false when the wait ran out. A wait cut short by
// the run's deadline ends only once the deadline has passed, so that everyone after it sees so.
bool wait_ready(int fd, short events, const Deadline& deadline) {
  pollfd p{fd, events, 0};
  const auto wait = deadline.next_wait();
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(wait.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0 && wait < deadline.each_wait()) {
    while (!deadline.passed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ready > 0;
}

// Runs an OpenSSL call on the non-blocking socket, waiting as it asks, each wait bounded and the
// whole call bounded by the run's deadline: a server that trickles cannot stretch it.
template <class Call>
SslOutcome drive(SSL* ssl, int fd, const Deadline& deadline, Call call) {
  for (;;) {
    if (deadline.passed()) return {.timed_out = true};
    ERR_clear_error();
    errno = 0;
    const int rc = call();
    if (rc > 0) return {.rc = rc, .ssl_error = SSL_ERROR_NONE};
    const int saved = errno;
    const SslOutcome outcome{.rc = rc, .ssl_error = SSL_get_error(ssl, rc), .saved_errno = saved};
    if (outcome.ssl_error != SSL_ERROR_WANT_READ && outcome.ssl_error != SSL_ERROR_WANT_WRITE) {
      return outcome;
    }
    const short events = outcome.ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    if (!wait_ready(fd, events, deadline)) return {.timed_out = true};
  }
}

bool is_ip_literal(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Tries every resolved address in turn, each bounded by the deadline, like the bootstrapper.
Result<Socket> connect_tcp(const ServerEndpoint& endpoint, const Deadline& deadline) {
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
    if (deadline.passed()) return timed_out(deadline);
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (s.fd < 0) {
      last = Error::os(errno);
      continue;
    }
    if (::connect(s.fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      last = Error::os(errno);
      continue;
    }
    if (!wait_ready(s.fd, POLLOUT, deadline)) {
      last = timed_out(deadline);
      continue;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      last = Error::os(so_error);
      continue;
    }
    return s;
  }
  if (!last)
    return Error::kind(ErrorKind::InvalidInput, "could not connect to any of the addresses");
  return *last;
}

// A client context that offers what the profile allows and trusts the endpoint's roots.
Result<TlsStream::CtxPtr> client_context(const ServerEndpoint& endpoint, const TlsProfile& profile,
                                         const Deadline& deadline) {
  ERR_clear_error();
  TlsStream::CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  auto failed = [&](const char* what) { return ssl_failure(deadline, what); };
  if (!ctx) return failed("SSL_CTX_new failed");
  if (profile.min_version) SSL_CTX_set_min_proto_version(ctx.get(), profile.min_version);
  if (profile.max_version) SSL_CTX_set_max_proto_version(ctx.get(), profile.max_version);
  if (!SSL_CTX_set_cipher_list(ctx.get(), profile.cipher_list.c_str())) {
    return failed("no cipher suite to offer");
  }
  if (!profile.groups.empty() && !SSL_CTX_set1_groups_list(ctx.get(), profile.groups.c_str())) {
    return failed("bad group list");
  }
  if (!profile.signature_algorithms.empty() &&
      !SSL_CTX_set1_sigalgs_list(ctx.get(), profile.signature_algorithms.c_str())) {
    return failed("bad signature algorithm list");
  }
  // Schannel ends a stream at a TCP end of stream as at a close_notify.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
  const bool trusted = endpoint.ca_file ? SSL_CTX_load_verify_locations(
                                              ctx.get(), endpoint.ca_file->c_str(), nullptr)
                                        : SSL_CTX_set_default_verify_paths(ctx.get());
  if (!trusted) return failed("cannot load the trusted roots");
  // The handshake goes on whatever the certificate: the check reports it and judges the rest too.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  return ctx;
}

}  // namespace

TlsOpen open_tls(const ServerEndpoint& endpoint, const TlsProfile& profile,
                 const Deadline& deadline) {
  TlsOpen open;
  auto fail = [&](TlsOpen::Failure failure, Error error) {
    open.failure = failure;
    open.error = std::move(error);
    return std::move(open);
  };
  auto tcp = connect_tcp(endpoint, deadline);
  if (!tcp) return fail(TlsOpen::Failure::Connect, tcp.take_error());
  auto ctx = client_context(endpoint, profile, deadline);
  if (!ctx) return fail(TlsOpen::Failure::Handshake, ctx.take_error());

  TlsStream::SslPtr ssl(SSL_new(ctx->get()));
  if (!ssl) {
    return fail(TlsOpen::Failure::Handshake, ssl_failure(deadline, "SSL_new failed"));
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
  if (is_ip_literal(endpoint.host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, endpoint.host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), endpoint.host.c_str());
    X509_VERIFY_PARAM_set1_host(param, endpoint.host.c_str(), 0);
  }
  Socket socket = std::move(*tcp);
  SSL_set_fd(ssl.get(), socket.fd);
  const SslOutcome handshake =
      drive(ssl.get(), socket.fd, deadline, [&] { return SSL_connect(ssl.get()); });
  if (handshake.rc != 1) {
    return fail(
        TlsOpen::Failure::Handshake,
        ssl_failure(handshake, deadline, "the server closed the connection during the handshake"));
  }

  open.facts.version = SSL_get_version(ssl.get());
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl.get());
  const char* standard = cipher ? SSL_CIPHER_standard_name(cipher) : nullptr;
  open.facts.suite = standard ? standard : (cipher ? SSL_CIPHER_get_name(cipher) : "?");
  judge_certificate(ssl.get(), endpoint, open.facts);
  open.stream =
      std::make_unique<TlsStream>(std::move(socket), std::move(*ctx), std::move(ssl), deadline);
  return open;
}

TlsStream::TlsStream(Socket socket, CtxPtr ctx, SslPtr ssl, const Deadline& deadline)
    : socket_(std::move(socket)), ctx_(std::move(ctx)), ssl_(std::move(ssl)), deadline_(deadline) {}

Result<size_t> TlsStream::read_now(std::span<uint8_t> buffer) {
  const int size = static_cast<int>(std::min<size_t>(buffer.size(), INT_MAX));
  const SslOutcome read = drive(ssl_.get(), socket_.fd, deadline_,
                                [&] { return SSL_read(ssl_.get(), buffer.data(), size); });
  if (read.rc > 0) return static_cast<size_t>(read.rc);
  // The end of the stream: a close_notify, or the TCP connection's end (as Schannel sees it).
  if (!read.timed_out &&
      (read.ssl_error == SSL_ERROR_ZERO_RETURN ||
       (read.ssl_error == SSL_ERROR_SYSCALL && read.saved_errno == 0 && ERR_peek_error() == 0))) {
    return size_t{0};
  }
  return ssl_failure(read, deadline_, "TLS read failed");
}

Result<size_t> TlsStream::write_now(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return size_t{0};
  const int size = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
  const SslOutcome written = drive(ssl_.get(), socket_.fd, deadline_,
                                   [&] { return SSL_write(ssl_.get(), bytes.data(), size); });
  if (written.rc > 0) return static_cast<size_t>(written.rc);
  return ssl_failure(written, deadline_, "TLS write failed");
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
  // close_notify, sent without waiting for the server's: it may already be gone.
  ERR_clear_error();
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
  co_return success();
}

}  // namespace quorvel::check
