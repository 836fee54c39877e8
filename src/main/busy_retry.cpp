#include "main/busy_retry.h"

#include <algorithm>
#include <string>

#include "runtime/output.h"

namespace quorvel {

bool is_busy(const Error& error) {
  if (!error.is_os()) return false;
  const int32_t code = error.code();
  return code == 5 || code == 32 || code == 33;
}

RetryOutcome BusyRetry::run(const RetryStep& step, const std::function<Result<void>()>& attempt,
                            const std::function<void(const Error&)>& report) {
  Result<void> result = attempt();
  if (result.ok()) return RetryOutcome::Succeeded;
  report(result.error());
  if (!is_busy(result.error())) return RetryOutcome::Failed;  // final: the step's line says all
  int attempts = 1;
  int64_t pause = FIRST_RETRY_PAUSE_MS;
  while (!result.ok() && is_busy(result.error()) && spent_ms_ < RETRY_BUDGET_MS) {
    const int64_t started = waits_.now_ms();
    const int64_t wanted = std::min(pause, RETRY_BUDGET_MS - spent_ms_);
    const bool open = waits_.pause(wanted);
    if (open) result = attempt();
    // At least the pause asked for counts, so the budget ends even where the clock stands still.
    spent_ms_ += std::max(waits_.now_ms() - started, wanted);
    if (!open) return RetryOutcome::WindowClosed;
    ++attempts;
    pause = std::min(pause * 2, LONGEST_RETRY_PAUSE_MS);
  }
  const std::string count = std::to_string(attempts);
  if (result.ok()) {
    print_line(OutputStream::Out, std::string(step.chinese) + "在第 " + count + " 次尝试时成功 / " +
                                      step.english + " succeeded on attempt " + count);
    return RetryOutcome::Succeeded;
  }
  print_line(OutputStream::Err, std::string(step.chinese) + "在 " + count + " 次尝试后放弃 / " +
                                    step.english + " given up after " + count +
                                    (attempts == 1 ? " attempt: " : " attempts: ") +
                                    error_text(result.error()));
  return RetryOutcome::Failed;
}

}  // namespace quorvel
