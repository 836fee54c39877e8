#include "net/tcp_connection.h"

#include <cstring>
#include <utility>

#include "net/keep_alive.h"

namespace quorvel {

namespace {

Error socket_error() {
  return Error::os(WSAGetLastError());
}

}  // namespace

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
}

void SocketAddress::set_port(uint16_t port) {
  if (family() == AF_INET) {
    reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
  }
}

UniqueSocket::UniqueSocket(UniqueSocket&& other) noexcept
    : socket_(std::exchange(other.socket_, INVALID_SOCKET)) {}

UniqueSocket& UniqueSocket::operator=(UniqueSocket&& other) noexcept {
  std::swap(socket_, other.socket_);
  return *this;
}

UniqueSocket::~UniqueSocket() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

TcpConnection::TcpConnection(UniqueSocket socket, SocketRegistration registration,
                             SocketAddress peer)
    : socket_(std::move(socket)), registration_(std::move(registration)), peer_(peer) {}

Task<Result<size_t>> TcpConnection::read_some(std::span<uint8_t> buffer) {
  int want = static_cast<int>(std::min<size_t>(buffer.size(), 1 << 30));
  for (;;) {
    int got = recv(socket_.get(), reinterpret_cast<char*>(buffer.data()), want, 0);
    if (got >= 0) co_return static_cast<size_t>(got);
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) co_return Error::os(error);
    co_await registration_.readable();
  }
}

Task<Result<void>> TcpConnection::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    int want = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30));
    int sent = send(socket_.get(), reinterpret_cast<const char*>(bytes.data()), want, 0);
    if (sent >= 0) {
      bytes = bytes.subspan(static_cast<size_t>(sent));
      continue;
    }
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) co_return Error::os(error);
    co_await registration_.writable();
  }
  co_return success();
}

Result<void> ensure_winsock() {
  // Once per process, later callers waiting for the first: a function-local static, whose guard
  // the program links anyway, where std::call_once would bring machinery of its own.
  static const int startup_error = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (startup_error != 0) return Error::os(startup_error);
  return success();
}

std::optional<SocketAddress> parse_address_literal(const std::string& host, uint16_t port) {
  // A NUL inside the text would end it early for the parser below; such a host is no literal.
  if (host.find('\0') != std::string::npos) return std::nullopt;
  std::string text = host;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  SocketAddress address;
  auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
  if (text.size() == host.size() && inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    address.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    address.length = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  address.set_port(port);
  return address;
}

namespace {

Result<std::vector<SocketAddress>> resolve_blocking(const std::string& host) {
  if (auto started = ensure_winsock(); !started) return started.take_error();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return socket_error();
  std::vector<SocketAddress> addresses;
  for (addrinfo* entry = list; entry; entry = entry->ai_next) {
    if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
        entry->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    SocketAddress address;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    addresses.push_back(address);
  }
  freeaddrinfo(list);
  return addresses;
}

// One attempt: a connected socket, or the error that ended the attempt (the socket is closed).
Task<Result<TcpConnection>> connect_one(const SocketAddress& address) {
  UniqueSocket socket(::socket(address.family(), SOCK_STREAM, IPPROTO_TCP));
  if (socket.get() == INVALID_SOCKET) co_return socket_error();
  u_long non_blocking = 1;
  if (ioctlsocket(socket.get(), FIONBIO, &non_blocking) != 0) co_return socket_error();
  // Not inherited: a launched program must never hold the download's connections open.
  if (!SetHandleInformation(reinterpret_cast<HANDLE>(socket.get()), HANDLE_FLAG_INHERIT, 0)) {
    co_return last_os_error();
  }
  // Best effort: without keep-alive a download still works while its server lives.
  (void)enable_keep_alive(socket.get(), DOWNLOAD_KEEP_ALIVE);
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
      0) {
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) co_return Error::os(error);
  }
  auto registration = SocketRegistration::create(static_cast<NativeSocket>(socket.get()));
  if (!registration) co_return registration.take_error();
  for (;;) {
    Readiness seen = co_await registration->writable();
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
        0) {
      co_return socket_error();
    }
    if (error != 0) co_return Error::os(error);
    // The connect completed and the peer reset the connection at once. SO_ERROR stays 0 and every
    // later wait would end at once with the same events, so the attempt ends here.
    if (seen.hangup) co_return Error::os(WSAECONNRESET);
    sockaddr_storage peer;
    int peer_length = sizeof(peer);
    if (getpeername(socket.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0) break;
    if (WSAGetLastError() != WSAENOTCONN) co_return socket_error();
    // Not connected. Only a wait that brought no events leaves the connect under way; after any
    // event the connect is over and the connection lost since (Wine calls a reset socket writable).
    if (seen.write) co_return Error::os(WSAECONNRESET);
    if (seen.any()) co_return Error::os(WSAENOTCONN);
  }
  co_return TcpConnection(std::move(socket), std::move(*registration), address);
}

}  // namespace

Task<Result<std::vector<SocketAddress>>> resolve_host(std::string host) {
  co_return co_await run_blocking([&host] { return resolve_blocking(host); });
}

Task<Result<TcpConnection>> connect_addresses(std::vector<SocketAddress> addresses) {
  if (auto started = ensure_winsock(); !started) co_return started.take_error();
  std::optional<Error> last;
  for (const SocketAddress& address : addresses) {
    Result<TcpConnection> attempt = co_await connect_one(address);
    if (attempt) co_return std::move(attempt);
    last = attempt.take_error();
  }
  if (last) co_return std::move(*last);
  co_return Error::kind(ErrorKind::InvalidInput, "could not connect to any of the addresses");
}

Task<Result<TcpConnection>> connect_tcp(std::string host, uint16_t port) {
  return connect_tcp(std::move(host), port, resolve_host);
}

Task<Result<TcpConnection>> connect_tcp(std::string host, uint16_t port, Resolver resolve) {
  std::vector<SocketAddress> addresses;
  if (auto literal = parse_address_literal(host, port)) {
    addresses.push_back(*literal);
    co_return co_await connect_addresses(std::move(addresses));
  }
  if (host.find('\0') != std::string::npos) {
    co_return Error::kind(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
  auto resolved = co_await resolve(std::move(host));
  if (!resolved) co_return resolved.take_error();
  for (SocketAddress& address : *resolved) address.set_port(port);
  co_return co_await connect_addresses(std::move(*resolved));
}

}  // namespace quorvel
