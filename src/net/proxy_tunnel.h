// Runs a ConnectDialog over a connection to the proxy until the tunnel is open. Generic over the
// connection (TcpConnection on Windows, an in-memory one in the tests): it needs read_some and
// write_all, and `open` gives a fresh connection to the proxy.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "net/proxy_dialog.h"
#include "net/proxy_reply.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

// Enough for CONNECT, the logon's two tokens and a reconnect; a proxy that keeps asking is refused.
inline constexpr int MAX_PROXY_ROUNDS = 6;

template <class Connection>
Task<Result<Connection>> open_tunnel(ConnectDialog& dialog,
                                     std::function<Task<Result<Connection>>()> open) {
  const std::string name = endpoint_text(dialog.proxy());
  const auto broken = [&](const Error& error) {
    return Error::other("代理 " + name + " 连接失败 / proxy " + name +
                        " connection failed: " + error_text(error));
  };
  auto connection = co_await open();
  if (!connection) {
    co_return Error::other(proxy_unreachable_text(dialog.proxy(), error_text(connection.error())));
  }
  std::string request = dialog.first_request();
  for (int round = 0; round < MAX_PROXY_ROUNDS; ++round) {
    auto written = co_await connection->write_all(
        {reinterpret_cast<const uint8_t*>(request.data()), request.size()});
    if (!written) co_return broken(written.error());
    // What arrives after the head can only be the reply's body: the proxy answers one request at
    // a time, and the host's TLS speaks only after the client's hello.
    std::string bytes;
    size_t length = 0;
    for (;;) {
      length = proxy_head_length(bytes);
      const std::string_view head =
          std::string_view(bytes).substr(0, length ? length : bytes.size());
      if (head.size() > MAX_PROXY_HEAD_BYTES || longest_line(head) > MAX_PROXY_HEAD_LINE_BYTES) {
        co_return Error::other(proxy_head_too_long_text(dialog.proxy()));
      }
      if (length != 0) break;
      uint8_t chunk[4096];
      auto n = co_await connection->read_some(std::span<uint8_t>(chunk, sizeof chunk));
      if (!n) co_return broken(n.error());
      if (*n == 0) co_return Error::other(proxy_closed_text(dialog.proxy()));
      bytes.append(reinterpret_cast<const char*>(chunk), *n);
    }
    auto next = dialog.on_reply(std::string_view(bytes).substr(0, length));
    if (!next) co_return next.take_error();
    const uint64_t early = bytes.size() - length;  // body bytes already read
    const bool reconnect = next->step == ConnectDialog::Next::Step::Reconnect;
    if (!reconnect &&
        early > (next->step == ConnectDialog::Next::Step::Send ? next->skip_body : 0)) {
      co_return Error::other(proxy_spoke_early_text(dialog.proxy()));
    }
    switch (next->step) {
      case ConnectDialog::Next::Step::Tunnel:
        co_return std::move(*connection);
      case ConnectDialog::Next::Step::Send:
        for (uint64_t left = next->skip_body - early; left > 0;) {
          uint8_t chunk[4096];
          const size_t want = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
          auto n = co_await connection->read_some(std::span<uint8_t>(chunk, want));
          if (!n) co_return broken(n.error());
          if (*n == 0) co_return Error::other(proxy_closed_text(dialog.proxy()));
          left -= *n;
        }
        break;
      case ConnectDialog::Next::Step::Reconnect: {
        auto fresh = co_await open();
        if (!fresh) {
          co_return Error::other(proxy_unreachable_text(dialog.proxy(), error_text(fresh.error())));
        }
        connection = std::move(fresh);
        break;
      }
    }
    request = std::move(next->request);
  }
  co_return Error::other("代理 " + name + " 不断要求登录 / proxy " + name +
                         " kept asking for a logon");
}

}  // namespace quorvel
