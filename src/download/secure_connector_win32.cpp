#include "download/secure_connector.h"
#include "net/secure_connect.h"

namespace quorvel {

Connector secure_connector() {
  return [](std::string host, uint16_t port) { return connect_secure(std::move(host), port); };
}

}  // namespace quorvel
