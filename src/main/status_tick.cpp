#include "main/status_tick.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "runtime/output.h"

namespace quorvel {
namespace {

struct StatusCopy {
  Phase phase;
  uint8_t percent;
  AttemptOutcome outcome;
};

// The record's lock is held only here and in write_status, never across an action.
StatusCopy read_status(DownloadStatus& status) {
  std::lock_guard lock(status.mutex);
  return {status.phase, status.percent, status.outcome};
}

void write_phase(DownloadStatus& status, Phase phase) {
  std::lock_guard lock(status.mutex);
  status.phase = phase;
}

void reset_status(DownloadStatus& status) {
  std::lock_guard lock(status.mutex);
  status.phase = Phase::Downloading;
  status.percent = 0;
}

void start_attempt(StatusTickContext& context, size_t url_index) {
  StatusTickActions& act = context.actions;
  act.set_progress(0);
  reset_status(*context.status);
  act.start_download_job(context.status, url_index);
}

// The window's side of a wait longer than the usual pause begins and ends here (a taskbar button's
// error state belongs with it).
void begin_wait(StatusTickContext& context, const NextAttempt& next) {
  StatusTickActions& act = context.actions;
  act.set_progress(0);
  const auto seconds = (next.wait.count() + 999) / 1000;
  print_line(OutputStream::Out, "下次尝试在 " + std::to_string(seconds) +
                                    " 秒后 / next attempt in " + std::to_string(seconds) + " s");
  context.pending = PendingAttempt{act.now() + next.wait, next.url_index};
}

void end_wait(StatusTickContext& context) {
  const size_t url_index = context.pending->url_index;
  context.pending.reset();
  start_attempt(context, url_index);
}

// Starts the next attempt where and when the policy says, from empty files unless the attempt was
// cut mid-body. A failed deletion was reported by the deletion itself and does not stop the
// restart.
void restart_download(StatusTickContext& context, const StatusCopy& now) {
  StatusTickActions& act = context.actions;
  AttemptReport report;
  report.checksum_mismatch = now.phase == Phase::CrcMismatch;
  report.url_index = now.outcome.url_index;
  report.announced = now.outcome.announced;
  report.announced_crc = now.outcome.announced_crc;
  report.announced_etag = now.outcome.announced_etag;
  report.retry_after = now.outcome.retry_after;
  const NextAttempt next = context.policy.after(report);
  if (!next.keep_files) act.delete_download_files();
  if (next.usual_pause) {
    act.sleep(next.wait);  // the usual pause: the window sits it out
  } else if (next.wait.count() > 0) {
    begin_wait(context, next);
    return;
  }
  start_attempt(context, next.url_index);
}

}  // namespace

void status_tick(StatusTickContext& context) {
  StatusTickActions& act = context.actions;
  if (context.pending) {
    // No job runs while the next attempt waits; the bar shows the failure's 0.
    if (act.now() < context.pending->due) {
      act.set_progress(0);
    } else {
      end_wait(context);
    }
    return;
  }
  const StatusCopy now = read_status(*context.status);
  switch (now.phase) {
    case Phase::Downloading:
      act.set_progress(std::min<int>(now.percent, 100));
      break;
    case Phase::Downloaded:
      // The full bar stays visible for one tick before the install freezes the window.
      act.set_progress(100);
      write_phase(*context.status, Phase::Installing);
      break;
    case Phase::CrcMismatch:
    case Phase::Failed:
      restart_download(context, now);
      break;
    case Phase::Installing:
      // Whatever the install and launch did, the run is over.
      act.run_install_step();
      act.sleep(EXIT_DELAY);
      act.hide_window();
      act.flush_output();
      act.exit_process(0);
      break;
  }
}

}  // namespace quorvel
