// A non-blocking TCP connection registered with the reactor, and connect_tcp, which opens one to a
// host by trying its addresses strictly in order.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/reactor.h"
#include "runtime/task.h"

namespace quorvel {

// One IPv4 or IPv6 socket address (port included).
struct SocketAddress {
  sockaddr_storage storage{};
  int length = 0;  // sizeof(sockaddr_in) or sizeof(sockaddr_in6)

  int family() const { return storage.ss_family; }
  uint16_t port() const;
  void set_port(uint16_t port);
};

// Owns a socket; closes it once.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET s) : socket_(s) {}
  UniqueSocket(UniqueSocket&& other) noexcept;
  UniqueSocket& operator=(UniqueSocket&& other) noexcept;
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket();
  SOCKET get() const { return socket_; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

class TcpConnection {
 public:
  TcpConnection(UniqueSocket socket, SocketRegistration registration, SocketAddress peer);
  TcpConnection(TcpConnection&&) noexcept = default;
  TcpConnection& operator=(TcpConnection&&) noexcept = default;

  // Some received bytes; 0 at the end of the stream.
  Task<Result<size_t>> read_some(std::span<uint8_t> buffer);
  // All of `bytes`, waiting for writability as needed.
  Task<Result<void>> write_all(std::span<const uint8_t> bytes);

  SOCKET socket() const { return socket_.get(); }
  const SocketAddress& peer() const { return peer_; }

 private:
  // Declared first so it is closed last: the registration goes before the socket.
  UniqueSocket socket_;
  SocketRegistration registration_;
  SocketAddress peer_;
};

// Starts Winsock once per process.
Result<void> ensure_winsock();

// The address of a dotted-decimal IPv4 or an IPv6 literal (also in brackets) with `port`.
std::optional<SocketAddress> parse_address_literal(const std::string& host, uint16_t port);

// Name resolution; the seam through which tests hand connect_tcp their own address list. The
// addresses' ports are replaced by connect_tcp's.
using Resolver = std::function<Task<Result<std::vector<SocketAddress>>>(std::string host)>;

// getaddrinfo (stream sockets, any family) run on the blocking pool, in the order it answers.
Task<Result<std::vector<SocketAddress>>> resolve_host(std::string host);

// Connects to the first address of the list that accepts, trying them one after the other; fails
// with the last attempt's error, or "could not connect to any of the addresses" for an empty list.
Task<Result<TcpConnection>> connect_addresses(std::vector<SocketAddress> addresses);

// A literal host is connected directly; any other is resolved first.
Task<Result<TcpConnection>> connect_tcp(std::string host, uint16_t port);
Task<Result<TcpConnection>> connect_tcp(std::string host, uint16_t port, Resolver resolve);

}  // namespace quorvel
