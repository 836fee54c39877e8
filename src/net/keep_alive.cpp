#include "net/keep_alive.h"

#include <mstcpip.h>

namespace quorvel {

Result<void> enable_keep_alive(SOCKET socket, KeepAlive timing) {
  BOOL on = TRUE;
  if (setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) !=
      0) {
    return Error::os(WSAGetLastError());
  }
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = timing.idle_ms;
  values.keepaliveinterval = timing.interval_ms;
  DWORD returned = 0;
  if (WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
               nullptr) != 0) {
    return Error::os(WSAGetLastError());
  }
  return success();
}

}  // namespace quorvel
