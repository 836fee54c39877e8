// The version of the Windows the program runs on, for choices that depend on it (the TLS credential
// structure) and for the support log's header line.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel {

struct WindowsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The running system's version from ntdll's RtlGetVersion (not subject to compatibility shims);
// none when the function is missing.
std::optional<WindowsVersion> running_windows_version();

}  // namespace quorvel
