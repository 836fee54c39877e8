// A certificate chain that fails only on its validity period, on a machine whose clock reads
// earlier than the day this program was built, says more about the clock than about the server:
// the failure line then names the clock and what it reads, so the player knows what to fix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel {

// Times in the system's file-time units: 100 ns since 1601-01-01 UTC.

// When this program was built; 0 when the build carries no time.
int64_t build_time();

// The clock as the system reads it (through the system-call registry, so tests can set it).
int64_t clock_now();

// The note for a clock that reads `now`, or nothing when `now` is not earlier than `built` (or
// the build's time is unknown).
std::optional<std::string> wrong_clock_note(int64_t now, int64_t built);

}  // namespace quorvel
