#include "download/secure_connector.h"

namespace quorvel {

namespace {

Task<Result<std::unique_ptr<ByteStream>>> no_connection(std::string, uint16_t) {
  co_return Error::kind(ErrorKind::Other, "this build has no TLS client");
}

}  // namespace

Connector secure_connector() {
  return no_connection;
}

}  // namespace quorvel
