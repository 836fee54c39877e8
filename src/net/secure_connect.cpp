#include "net/secure_connect.h"

#include "net/secure_stream.h"
#include "net/tcp_connection.h"
#include "net/tls_settings.h"

namespace quorvel {

Task<Result<std::unique_ptr<ByteStream>>> connect_secure(std::string host, uint16_t port) {
  auto connection = co_await connect_tcp(host, port);
  if (!connection) co_return connection.take_error();
  auto stream = co_await tls_connect(program_tls_settings(), host, std::move(*connection));
  if (!stream) co_return stream.take_error();
  co_return std::unique_ptr<ByteStream>(std::move(*stream));
}

}  // namespace quorvel
