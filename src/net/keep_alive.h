// TCP keep-alive on the download's sockets, so that a peer that vanished without a FIN or RST (a
// dropped Wi-Fi link, a NAT that forgot the flow, a server that lost power) ends the connection
// with a read error instead of leaving a read waiting forever. A live server never notices: the
// probes are sent only after the connection has been idle.
#pragma once

#include <winsock2.h>

#include <cstdint>

#include "runtime/error.h"

namespace quorvel {

struct KeepAlive {
  uint32_t idle_ms;      // quiet time before the first probe
  uint32_t interval_ms;  // time between unanswered probes
};

// About 30 s of silence, then probes 2 s apart: Windows gives up after its 10 probes (Linux, under
// Wine, after its 9), so a dead peer surfaces within about 50 s.
inline constexpr KeepAlive DOWNLOAD_KEEP_ALIVE{30'000, 2'000};

// SO_KEEPALIVE with the given timing (SIO_KEEPALIVE_VALS) on `socket`.
Result<void> enable_keep_alive(SOCKET socket, KeepAlive timing);

}  // namespace quorvel
