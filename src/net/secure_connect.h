// The connection the download engine opens for each HTTP exchange: TCP to the host, then a TLS
// session with the program's settings. Where the host cannot be reached directly, the proxies
// Windows names for it are the way out, through a CONNECT tunnel that carries the host's own TLS.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/byte_stream.h"
#include "net/proxy_list.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

// Directly, as the first and only way.
Task<Result<std::unique_ptr<ByteStream>>> connect_secure(std::string host, uint16_t port);

// The way that last reached each host and port, kept for the rest of the run.
class RouteMemory {
 public:
  std::optional<ProxyWay> recall(const std::string& key) const;
  void remember(const std::string& key, ProxyWay way);
  void forget(const std::string& key);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, ProxyWay> ways_;
};

// The remembered way first when it is a proxy; then directly; where the direct way cannot connect
// (the name does not resolve, or every address refuses or times out), the proxies Windows names
// for the host, in order. A TLS failure is reported as it is: it says nothing about the way.
Task<Result<std::unique_ptr<ByteStream>>> connect_secure_routed(std::string host, uint16_t port,
                                                                RouteMemory& memory);

}  // namespace quorvel
