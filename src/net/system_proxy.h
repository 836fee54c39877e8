// Which proxies Windows names for the download host, asked as WinHTTP's callers ask: the user's
// Internet Options (fixed proxy and its bypass list, auto-config script, automatic detection), the
// script or WPAD through WinHTTP, then the machine-wide WinHTTP setting. winhttp.dll is loaded
// from the system directory on first use; a system without it or its exports names no proxy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/proxy_list.h"
#include "runtime/task.h"

namespace quorvel {

// A script or WPAD that has not answered by then is given up for this attempt.
inline constexpr unsigned PROXY_SCRIPT_WAIT_MS = 5000;

// The proxies for https://host:port/, in the order to try; empty when Windows names none, says
// "DIRECT" or bypasses the host. Runs on the blocking pool.
Task<std::vector<ProxyEndpoint>> find_system_proxies(std::string host, uint16_t port);

}  // namespace quorvel
