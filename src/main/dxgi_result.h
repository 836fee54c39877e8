// The error kinds that a failed DXGI factory creation maps to.
#pragma once

#include <cstdint>

#include "runtime/error.h"

namespace quorvel {

inline constexpr uint32_t DXGI_RESULT_INVALID_CALL = 0x887A0001;
inline constexpr uint32_t DXGI_RESULT_UNSUPPORTED = 0x887A0004;
inline constexpr uint32_t DXGI_RESULT_NOT_CURRENTLY_AVAILABLE = 0x887A0022;
inline constexpr uint32_t DXGI_RESULT_ACCESS_LOST = 0x887A0026;
inline constexpr uint32_t DXGI_RESULT_WAIT_TIMEOUT = 0x887A0027;
inline constexpr uint32_t DXGI_RESULT_SESSION_DISCONNECTED = 0x887A0028;
inline constexpr uint32_t RESULT_ACCESS_DENIED = 0x80070005;

// The error for a failed CreateDXGIFactory1 result code ("connection refused", ...).
Error dxgi_factory_error(uint32_t result);

}  // namespace quorvel
