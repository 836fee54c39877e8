// A TLS client session over a TcpConnection, with Windows Schannel as the TLS provider and the
// server validated by verify_server_chain. tls_connect runs the handshake; the resulting
// SecureStream is a ByteStream for the HTTP exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "net/byte_stream.h"
#include "net/schannel_credentials.h"
#include "net/tcp_connection.h"
#include "net/tls_settings.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

class SecureStream final : public ByteStream {
 public:
  enum class State : uint8_t { Handshaking, Streaming, ShuttingDown, Closed };

  ~SecureStream() override;

  // Plaintext into `buffer`; 0 once the peer ended the session (close_notify or end of TCP).
  Task<Result<size_t>> read(std::span<uint8_t> buffer) override;
  // Encrypts and queues at most one record's worth (the maximum message size); yields how much
  // it took. Fails with SEC_E_CONTEXT_EXPIRED once the session has ended.
  Task<Result<size_t>> write(std::span<const uint8_t> bytes) override;
  // Sends everything queued.
  Task<Result<void>> flush() override;
  // Sends the close_notify alert and flushes it.
  Task<Result<void>> close() override;

  State state() const;
  CredentialStructure credential_structure() const;  // which structure the credentials used
  size_t max_message_size() const;

  struct Session;  // Schannel handles, buffers and state (secure_stream.cpp)
  explicit SecureStream(std::unique_ptr<Session> session);

 private:
  std::unique_ptr<Session> session_;
};

// Runs the client handshake over `connection` (taken over) for `host` (UTF-8) and validates the
// server. On failure everything acquired, the connection included, is released.
Task<Result<std::unique_ptr<SecureStream>>> tls_connect(TlsClientSettings settings,
                                                        std::string host, TcpConnection connection);

}  // namespace quorvel
