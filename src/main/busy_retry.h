// Retries of the install's file steps while another process holds the file: a virus scanner that
// opens a fresh executable without sharing, or an old launcher still running from its image. Only
// sharing and lock violations and access denied are waited out; every other error is final.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/error.h"

namespace quorvel {

inline constexpr int64_t FIRST_RETRY_PAUSE_MS = 250;
inline constexpr int64_t LONGEST_RETRY_PAUSE_MS = 2000;
// Shared by every step of one install, so that a file held for good costs 30 seconds, not one
// budget per step.
inline constexpr int64_t RETRY_BUDGET_MS = 30000;

// Access denied (5), sharing violation (32), lock violation (33).
bool is_busy(const Error& error);

struct RetryWaits {
  std::function<int64_t()> now_ms;  // a monotonic clock
  // Waits while the window stays drawn and closable; false when it was closed meanwhile.
  std::function<bool(int64_t milliseconds)> pause;
};

// A step's names in both languages, for the lines that follow its retries.
struct RetryStep {
  const char* chinese;
  const char* english;
};

enum class RetryOutcome { Succeeded, Failed, WindowClosed };

class BusyRetry {
 public:
  explicit BusyRetry(RetryWaits waits) : waits_(std::move(waits)) {}

  // Runs `attempt` until it succeeds, fails with an error that is not busy, or the install's
  // budget is spent. The first failure goes to `report` (the step's own line), once; when a retry
  // came after it, one more line says how the step ended. A closed window ends the wait at once.
  RetryOutcome run(const RetryStep& step, const std::function<Result<void>()>& attempt,
                   const std::function<void(const Error&)>& report);

 private:
  RetryWaits waits_;
  int64_t spent_ms_ = 0;
};

}  // namespace quorvel
