#include "net/secure_connect.h"

#include <functional>

#include "net/proxy_dialog.h"
#include "net/proxy_tunnel.h"
#include "net/secure_stream.h"
#include "net/system_proxy.h"
#include "net/tcp_connection.h"
#include "net/tls_settings.h"
#include "net/windows_logon.h"
#include "runtime/output.h"

namespace quorvel {

namespace {

Task<Result<std::unique_ptr<ByteStream>>> secure_over(std::string host, TcpConnection connection) {
  auto stream = co_await tls_connect(program_tls_settings(), host, std::move(connection));
  if (!stream) co_return stream.take_error();
  co_return std::unique_ptr<ByteStream>(std::move(*stream));
}

Task<Result<TcpConnection>> tunnel_through(const ProxyEndpoint& proxy, const std::string& host,
                                           uint16_t port) {
  print_line(OutputStream::Out, "通过代理连接 / connecting through proxy " + endpoint_text(proxy));
  ConnectDialog dialog(proxy, host, port, windows_logon());
  std::function<Task<Result<TcpConnection>>()> open = [&proxy] {
    return connect_tcp(proxy.host, proxy.port);
  };
  co_return co_await open_tunnel<TcpConnection>(dialog, open);
}

}  // namespace

Task<Result<std::unique_ptr<ByteStream>>> connect_secure(std::string host, uint16_t port) {
  auto connection = co_await connect_tcp(host, port);
  if (!connection) co_return connection.take_error();
  co_return co_await secure_over(std::move(host), std::move(*connection));
}

std::optional<ProxyWay> RouteMemory::recall(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto found = ways_.find(key);
  if (found == ways_.end()) return std::nullopt;
  return found->second;
}

void RouteMemory::remember(const std::string& key, ProxyWay way) {
  std::lock_guard lock(mutex_);
  ways_[key] = std::move(way);
}

void RouteMemory::forget(const std::string& key) {
  std::lock_guard lock(mutex_);
  ways_.erase(key);
}

Task<Result<std::unique_ptr<ByteStream>>> connect_secure_routed(std::string host, uint16_t port,
                                                                RouteMemory& memory) {
  const std::string key = host + ":" + std::to_string(port);
  if (auto remembered = memory.recall(key); remembered && *remembered) {
    const ProxyEndpoint proxy = **remembered;
    auto tunnel = co_await tunnel_through(proxy, host, port);
    if (tunnel) co_return co_await secure_over(std::move(host), std::move(*tunnel));
    print_line(OutputStream::Err, error_text(tunnel.error()));
    memory.forget(key);
  }
  auto direct = co_await connect_tcp(host, port);
  if (direct) {
    memory.remember(key, std::nullopt);
    co_return co_await secure_over(std::move(host), std::move(*direct));
  }
  const std::vector<ProxyEndpoint> proxies = co_await find_system_proxies(host, port);
  if (proxies.empty()) co_return direct.take_error();
  std::optional<Error> last;
  for (const ProxyEndpoint& proxy : proxies) {
    // Each failure but the last is told here; the last is the attempt's own.
    if (last) print_line(OutputStream::Err, error_text(*last));
    auto tunnel = co_await tunnel_through(proxy, host, port);
    if (tunnel) {
      memory.remember(key, proxy);
      co_return co_await secure_over(std::move(host), std::move(*tunnel));
    }
    last = tunnel.take_error();
  }
  co_return std::move(*last);
}

}  // namespace quorvel
