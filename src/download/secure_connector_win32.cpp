#include "download/http_reply.h"
#include "download/secure_connector.h"
#include "net/proxy_reply.h"
#include "net/secure_connect.h"

namespace quorvel {

// A proxy's head is held to the bounds of a download server's.
static_assert(MAX_PROXY_HEAD_BYTES == MAX_HEAD_REPLY_BYTES);
static_assert(MAX_PROXY_HEAD_LINE_BYTES == MAX_GET_HEAD_LINE_BYTES);

Connector secure_connector() {
  // One memory for every connection this connector opens: the GET after the HEAD and every later
  // attempt take the way that worked, each host (and port) judged on its own.
  auto memory = std::make_shared<RouteMemory>();
  return [memory](std::string host, uint16_t port) {
    return connect_secure_routed(std::move(host), port, *memory);
  };
}

}  // namespace quorvel
