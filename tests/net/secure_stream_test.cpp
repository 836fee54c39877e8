// The Schannel client against real TLS servers on loopback (tls_servers.py, openssl s_server),
// run by run_tls_tests.py under a prefix that trusts the test CA.
#include "net/secure_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net/secure_connect.h"
#include "net/tcp_connection.h"
#include "runtime/task.h"
#include "support/system_call_swap.h"
#include "support/tls_scenario.h"

namespace quorvel {
namespace {

using test::TlsScenario;
using test::to_hex;

const std::string HEAD_REQUEST =
    "HEAD /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\nHost: localhost\r\n\r\n";
const std::string REPLY_HEAD = "HTTP/1.1 200 OK\r\nContent-Length: 18\r\nETag: \"test\"\r\n\r\n";
const std::string REPLY = REPLY_HEAD + "Quorvel test body\n";

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

Task<Result<std::unique_ptr<SecureStream>>> open_stream(std::string host, uint16_t port) {
  auto connection = co_await connect_tcp(host, port);
  if (!connection) co_return connection.take_error();
  co_return co_await tls_connect(program_tls_settings(), host, std::move(*connection));
}

Task<Result<void>> send_all(SecureStream& stream, std::string text) {
  std::span<const uint8_t> rest = bytes_of(text);
  while (!rest.empty()) {
    auto taken = co_await stream.write(rest);
    if (!taken) co_return taken.take_error();
    rest = rest.subspan(*taken);
  }
  co_return co_await stream.flush();
}

// Reads until `limit` bytes arrived or the stream ended; small reads on purpose.
Task<Result<std::string>> receive(SecureStream& stream, size_t limit) {
  std::string received;
  uint8_t buffer[7];
  while (received.size() < limit) {
    auto got =
        co_await stream.read(std::span(buffer, std::min(sizeof(buffer), limit - received.size())));
    if (!got) co_return got.take_error();
    if (*got == 0) break;
    received.append(reinterpret_cast<char*>(buffer), *got);
  }
  co_return received;
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::tls_scenarios_available()) GTEST_SKIP() << "needs run_tls_tests.py";
  }
};

// Handshake, request, the whole reply, close_notify, drop.
void full_exchange(const std::string& scenario) {
  TlsScenario server(scenario);
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  EXPECT_EQ((*stream)->state(), SecureStream::State::Streaming);
  ASSERT_TRUE(block_on(send_all(**stream, HEAD_REQUEST)).ok());
  EXPECT_EQ(server.wait_for("request "), "request " + to_hex(HEAD_REQUEST));
  auto reply = block_on(receive(**stream, REPLY_HEAD.size()));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(*reply, REPLY_HEAD);
  ASSERT_TRUE(block_on((*stream)->close()).ok());
  EXPECT_EQ((*stream)->state(), SecureStream::State::Closed);
  EXPECT_EQ(server.wait_for("client-"), "client-close-notify");
  auto late = block_on((*stream)->write(bytes_of("x")));
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error(), Error::os(SEC_E_CONTEXT_EXPIRED));
}

TEST_F(Tls, FullExchangeWithTheCredentialStructureOfThisWindowsVersion) {
  TlsScenario server("cert=localhost mode=http");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  CredentialStructure expected = test::tls_windows_mode() == "win7"
                                     ? CredentialStructure::SchannelCred
                                     : CredentialStructure::SchCredentials;
  EXPECT_EQ((*stream)->credential_structure(), expected);
  EXPECT_NE(server.wait_for("handshake-done"), "");
  ASSERT_TRUE(block_on(send_all(**stream, HEAD_REQUEST)).ok());
  EXPECT_EQ(server.wait_for("request "), "request " + to_hex(HEAD_REQUEST));
  auto reply = block_on(receive(**stream, REPLY_HEAD.size()));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(*reply, REPLY_HEAD);
  ASSERT_TRUE(block_on((*stream)->close()).ok());
  EXPECT_EQ(server.wait_for("client-"), "client-close-notify");
  stream->reset();
}

TEST_F(Tls, ConnectSecureGivesAByteStream) {
  TlsScenario server("cert=localhost mode=close");
  auto stream = block_on(connect_secure("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  auto* secure = dynamic_cast<SecureStream*>(stream->get());
  ASSERT_NE(secure, nullptr);
  ASSERT_TRUE(block_on(send_all(*secure, "GET / HTTP/1.1\r\n\r\n")).ok());
  auto reply = block_on(receive(*secure, 1 << 20));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(*reply, REPLY);
}

TEST_F(Tls, ServerSendingItsIntermediateIsAccepted) {
  full_exchange("cert=localhost-chain");
}

void expect_rejected(const std::string& cert, HRESULT code) {
  TlsScenario server("cert=" + cert + " mode=hold");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_FALSE(stream.ok()) << cert << " was accepted";
  EXPECT_EQ(stream.error(), Error::os(static_cast<int32_t>(code)))
      << cert << ": " << error_text(stream.error());
  // The failed handshake released the connection.
  EXPECT_NE(server.wait_for("client-eof", 5000) + server.wait_for("handshake-failed", 1), "");
}

TEST_F(Tls, CertificateForAnotherHostIsRejected) {
  expect_rejected("other-host", CERT_E_CN_NO_MATCH);
}
TEST_F(Tls, SelfSignedCertificateIsRejected) {
  expect_rejected("self-signed", CERT_E_UNTRUSTEDROOT);
}
TEST_F(Tls, ExpiredCertificateIsRejected) {
  expect_rejected("expired", CERT_E_EXPIRED);
}
// A player's clock years behind the build: the same refusal, and the clock named with its reading.
void WINAPI clock_in_2015(LPFILETIME now) {
  SYSTEMTIME t = {2015, 6, 0, 15, 12, 0, 0, 0};
  SystemTimeToFileTime(&t, now);
}
TEST_F(Tls, ExpiredCertificateOnAClockBehindTheBuildNamesTheClock) {
  test::SystemCallSwap clock(&SystemCalls::get_system_time, &clock_in_2015);
  TlsScenario server("cert=expired mode=hold");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_FALSE(stream.ok());
  EXPECT_EQ(error_text(stream.error()),
            error_text(Error::os(static_cast<int32_t>(CERT_E_EXPIRED))) +
                "; 系统时钟似乎不正确，当前为 2015-06-15 12:00:00 UTC / the system clock looks "
                "wrong: it reads 2015-06-15 12:00:00 UTC");
}
TEST_F(Tls, UnknownCaWithItsRootSentIsRejected) {
  expect_rejected("unknown-chain", CERT_E_UNTRUSTEDROOT);
}
TEST_F(Tls, UnknownCaLeafAloneIsRejected) {
  expect_rejected("unknown-leaf", CERT_E_CHAINING);
}
TEST_F(Tls, TrustedRootLeafWithoutItsIntermediateIsRejected) {
  expect_rejected("localhost-inter-leaf", CERT_E_CHAINING);
}

TEST_F(Tls, ServerClosingAfterClientHelloIsUnexpectedEof) {
  TlsScenario server("mode=hello");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_FALSE(stream.ok());
  EXPECT_EQ(stream.error().kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(error_text(stream.error()), "unexpected EOF during handshake");
}

TEST_F(Tls, ReadAfterCloseNotifyReturnsZero) {
  TlsScenario server("mode=close");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  ASSERT_TRUE(block_on(send_all(**stream, "GET / HTTP/1.1\r\n\r\n")).ok());
  auto reply = block_on(receive(**stream, 1 << 20));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(*reply, REPLY);
  uint8_t buffer[64];
  for (int i = 0; i < 3; ++i) {
    auto again = block_on((*stream)->read(buffer));
    ASSERT_TRUE(again.ok()) << error_text(again.error());
    EXPECT_EQ(*again, 0u);
  }
  EXPECT_EQ((*stream)->state(), SecureStream::State::Closed);
  EXPECT_TRUE(block_on((*stream)->close()).ok());
}

TEST_F(Tls, HandshakeAndRecordsOneByteAtATime) {
  full_exchange("mode=http dribble=1");
}

TEST_F(Tls, RecordSplitAcrossSocketReads) {
  TlsScenario server("mode=close split=1");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  ASSERT_TRUE(block_on(send_all(**stream, "GET / HTTP/1.1\r\n\r\n")).ok());
  auto reply = block_on(receive(**stream, 1 << 20));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(*reply, REPLY);
}

TEST_F(Tls, WriteLongerThanTheMaximumMessageIsSplit) {
  TlsScenario server("mode=sink");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  size_t max = (*stream)->max_message_size();
  ASSERT_GT(max, 0u);
  std::string data(2 * max + 1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i * 7 % 26);
  auto first = block_on((*stream)->write(bytes_of(data)));
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, max);
  ASSERT_TRUE(block_on(send_all(**stream, data.substr(max))).ok());
  ASSERT_TRUE(block_on((*stream)->close()).ok());
  EXPECT_EQ(server.wait_for("records "),
            "records " + std::to_string(max) + " " + std::to_string(max) + " 1000");
  EXPECT_EQ(server.wait_for("data "), "data " + to_hex(data));
  EXPECT_EQ(server.wait_for("client-"), "client-close-notify");
}

Task<void> read_forever(std::string host, uint16_t port, std::atomic<int>* stage) {
  auto stream = co_await open_stream(host, port);
  if (!stream) {
    stage->store(-1);
    co_return;
  }
  stage->store(1);
  uint8_t buffer[256];
  auto got = co_await (*stream)->read(buffer);
  stage->store(got.ok() ? 2 : -2);
}

TEST_F(Tls, CancellingATaskInTheMiddleOfAReadClosesTheSocket) {
  TlsScenario server("mode=hold");
  std::atomic<int> stage{0};
  TaskHandle task = spawn_task(read_forever("localhost", server.port(), &stage));
  ASSERT_NE(server.wait_for("handshake-done"), "");
  for (int i = 0; i < 500 && stage.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(stage.load(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the read is waiting by now
  cancel_task(task);
  EXPECT_EQ(stage.load(), 1);
  EXPECT_EQ(server.wait_for("client-", 5000), "client-eof");
}

// Protocol range: run where the system honours the enabled-protocol bits (Windows 7 form).
class TlsProtocolWin7 : public Tls {};

void exchange_with_openssl(const std::string& version) {
  TlsScenario server("tool=openssl max=" + version);
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << "TLS " << version << ": " << error_text(stream.error());
  ASSERT_TRUE(block_on(send_all(**stream, "GET / HTTP/1.0\r\n\r\n")).ok());
  auto reply = block_on(receive(**stream, 1 << 20));
  ASSERT_TRUE(reply.ok()) << error_text(reply.error());
  EXPECT_EQ(reply->substr(0, 15), "HTTP/1.0 200 ok") << *reply;
}

TEST_F(TlsProtocolWin7, Tls10ServerSucceeds) {
  exchange_with_openssl("1.0");
}
TEST_F(TlsProtocolWin7, Tls11ServerSucceeds) {
  exchange_with_openssl("1.1");
}
TEST_F(TlsProtocolWin7, Tls12ServerSucceeds) {
  exchange_with_openssl("1.2");
}

TEST_F(TlsProtocolWin7, Tls13OnlyServerFailsTheHandshake) {
  TlsScenario server("mode=hold min=1.3");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_FALSE(stream.ok());
  EXPECT_TRUE(stream.error().is_os()) << error_text(stream.error());
  EXPECT_NE(server.wait_for("handshake-failed"), "");
}

TEST_F(TlsProtocolWin7, Tls13CapableServerIsTalkedToWithTls12) {
  TlsScenario server("mode=http");
  auto stream = block_on(open_stream("localhost", server.port()));
  ASSERT_TRUE(stream.ok()) << error_text(stream.error());
  EXPECT_EQ(server.wait_for("handshake-done"), "handshake-done TLSv1.2");
}

}  // namespace
}  // namespace quorvel
