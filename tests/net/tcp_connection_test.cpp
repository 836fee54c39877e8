// connect_tcp against listeners of the test's own on loopback.
#include "net/tcp_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/task.h"

namespace quorvel {
namespace {

using Addresses = std::vector<SocketAddress>;

// A listening socket on a free loopback port.
class Listener {
 public:
  explicit Listener(int family) {
    EXPECT_TRUE(ensure_winsock().ok());
    socket_ = UniqueSocket(::socket(family, SOCK_STREAM, IPPROTO_TCP));
    address_ = *parse_address_literal(family == AF_INET ? "127.0.0.1" : "::1", 0);
    EXPECT_EQ(bind(socket_.get(), reinterpret_cast<sockaddr*>(&address_.storage), address_.length),
              0);
    int length = sizeof(address_.storage);
    getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address_.storage), &length);
    EXPECT_EQ(listen(socket_.get(), 4), 0);
  }
  uint16_t port() const { return address_.port(); }
  UniqueSocket accept_peer() { return UniqueSocket(accept(socket_.get(), nullptr, nullptr)); }
  bool accepts() { return accept_peer().get() != INVALID_SOCKET; }

 private:
  UniqueSocket socket_;
  SocketAddress address_;
};

// A loopback port nobody listens on (taken and released at once).
uint16_t refused_port(int family) {
  Listener probe(family);
  return probe.port();
}

SocketAddress address(const char* literal, uint16_t port) {
  return *parse_address_literal(literal, port);
}

Resolver fixed_resolver(Addresses addresses, int* calls) {
  return [addresses, calls](std::string) -> Task<Result<Addresses>> {
    ++*calls;
    co_return addresses;
  };
}

TEST(ConnectTcp, Ipv4LiteralIsConnectedWithoutResolution) {
  Listener listener(AF_INET);
  int calls = 0;
  auto connection = block_on(connect_tcp("127.0.0.1", listener.port(), fixed_resolver({}, &calls)));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(connection->peer().family(), AF_INET);
  EXPECT_EQ(connection->peer().port(), listener.port());
  EXPECT_TRUE(listener.accepts());
}

TEST(ConnectTcp, Ipv6LiteralIsConnectedWithoutResolution) {
  Listener listener(AF_INET6);
  int calls = 0;
  auto connection = block_on(connect_tcp("::1", listener.port(), fixed_resolver({}, &calls)));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(connection->peer().family(), AF_INET6);
  EXPECT_TRUE(listener.accepts());
}

TEST(ConnectTcp, ResolvedAddressesGetThePortAndARefusedOneFallsThrough) {
  Listener listener(AF_INET);
  int calls = 0;
  // ::1 refuses: the listener is IPv4 only. Resolved addresses carry no port of their own.
  auto resolver = fixed_resolver({address("::1", 0), address("127.0.0.1", 0)}, &calls);
  auto connection = block_on(connect_tcp("download.test", listener.port(), resolver));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(connection->peer().family(), AF_INET);
  EXPECT_EQ(connection->peer().port(), listener.port());
  EXPECT_TRUE(listener.accepts());
}

TEST(ConnectTcp, WhenAllAddressesFailTheLastAttemptsErrorIsReturned) {
  uint16_t port = refused_port(AF_INET);
  int calls = 0;
  auto resolver = fixed_resolver({address("::1", 0), address("127.0.0.1", 0)}, &calls);
  auto connection = block_on(connect_tcp("download.test", port, resolver));
  ASSERT_FALSE(connection.ok());
  EXPECT_EQ(connection.error(), Error::os(WSAECONNREFUSED));

  // Distinct errors show which attempt's is returned: an IPv4-mapped address cannot be reached
  // from an IPv6-only socket at all, so it fails without a packet being sent.
  uint16_t other = refused_port(AF_INET);
  auto refused_last = block_on(
      connect_addresses({address("::ffff:127.0.0.1", other), address("127.0.0.1", other)}));
  ASSERT_FALSE(refused_last.ok());
  EXPECT_EQ(refused_last.error(), Error::os(WSAECONNREFUSED));
  auto unreachable_last = block_on(
      connect_addresses({address("127.0.0.1", other), address("::ffff:127.0.0.1", other)}));
  ASSERT_FALSE(unreachable_last.ok());
  EXPECT_TRUE(unreachable_last.error().is_os());
  EXPECT_NE(unreachable_last.error(), Error::os(WSAECONNREFUSED))
      << error_text(unreachable_last.error());
}

TEST(ConnectTcp, HostWithNulFailsBeforeResolution) {
  int calls = 0;
  std::string host("127.0.0.1\0.evil", 15);
  auto connection = block_on(connect_tcp(host, 443, fixed_resolver({}, &calls)));
  ASSERT_FALSE(connection.ok());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(connection.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(error_text(connection.error()), "file name contained an unexpected NUL byte");
}

TEST(ConnectTcp, EmptyAddressListFailsWithItsText) {
  int calls = 0;
  auto connection = block_on(connect_tcp("nothing.test", 443, fixed_resolver({}, &calls)));
  ASSERT_FALSE(connection.ok());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(connection.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(error_text(connection.error()), "could not connect to any of the addresses");
}

TEST(ConnectTcp, LocalhostIsResolvedToLoopbackAddresses) {
  auto addresses = block_on(resolve_host("localhost"));
  ASSERT_TRUE(addresses.ok()) << error_text(addresses.error());
  ASSERT_FALSE(addresses->empty());
  for (const SocketAddress& a : *addresses) {
    EXPECT_TRUE(a.family() == AF_INET || a.family() == AF_INET6);
    if (a.family() == AF_INET) {
      EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(a.storage).sin_addr.s_addr,
                htonl(INADDR_LOOPBACK));
    }
  }
  Listener listener(AF_INET);
  auto connection = block_on(connect_tcp("localhost", listener.port()));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  EXPECT_TRUE(listener.accepts());
}

TEST(ConnectTcp, SocketIsNotInheritedByLaunchedPrograms) {
  Listener listener(AF_INET);
  auto connection = block_on(connect_tcp("127.0.0.1", listener.port()));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(connection->socket()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

// A peer that vanishes without a FIN or RST must still end the connection (the whole-program test
// of a silent cut checks the timing: Wine cannot read it back).
TEST(ConnectTcp, SocketProbesAnIdlePeer) {
  Listener listener(AF_INET);
  auto connection = block_on(connect_tcp("127.0.0.1", listener.port()));
  ASSERT_TRUE(connection.ok()) << error_text(connection.error());
  DWORD on = 0;
  int length = sizeof on;
  ASSERT_EQ(getsockopt(connection->socket(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on),
                       &length),
            0);
  EXPECT_EQ(on, 1u);
}

TEST(ConnectTcp, ReadsAndWritesThroughTheReactor) {
  Listener listener(AF_INET);
  auto connection = block_on(connect_tcp("127.0.0.1", listener.port()));
  ASSERT_TRUE(connection.ok());
  UniqueSocket peer = listener.accept_peer();
  ASSERT_NE(peer.get(), INVALID_SOCKET);
  const std::string hello = "hello";
  ASSERT_TRUE(block_on(connection->write_all(
                           {reinterpret_cast<const uint8_t*>(hello.data()), hello.size()}))
                  .ok());
  char received[16] = {};
  EXPECT_EQ(recv(peer.get(), received, sizeof(received), 0), 5);
  EXPECT_EQ(std::string(received, 5), hello);
  send(peer.get(), "abc", 3, 0);
  uint8_t buffer[16];
  auto got = block_on(connection->read_some(buffer));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), *got), "abc");
  peer = UniqueSocket();
  auto end = block_on(connection->read_some(buffer));
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, 0u);
}

}  // namespace
}  // namespace quorvel
