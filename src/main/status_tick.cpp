#include "main/status_tick.h"

#include <algorithm>
#include <string>

#include "runtime/output.h"

namespace quorvel {
namespace {

// `percent` is kept for a resumed file, whose bar keeps its place.
void start_attempt(StatusTickContext& context, size_t url_index, bool keep_files, uint8_t percent) {
  StatusTickActions& act = context.actions;
  if (!keep_files) act.set_progress(0);
  // After a checksum mismatch the button shows paused until the new download moves.
  act.set_taskbar(context.mismatch_not_moved ? TaskbarState::Paused : TaskbarState::Normal,
                  keep_files ? percent : 0);
  context.status->reset(keep_files ? percent : 0);
  act.start_download_job(context.status, url_index);
}

// The window's side of a wait longer than the usual pause begins and ends here; the taskbar button
// shows the error state through it.
void begin_wait(StatusTickContext& context, const NextAttempt& next, uint8_t percent) {
  StatusTickActions& act = context.actions;
  if (!next.keep_files) act.set_progress(0);
  act.set_taskbar(TaskbarState::Error, next.keep_files ? percent : 0);
  const auto seconds = std::to_string((next.wait.count() + 999) / 1000);
  print_line(OutputStream::Out,
             "下次尝试在 " + seconds + " 秒后 / next attempt in " + seconds + " s");
  context.pending = PendingAttempt{act.now() + next.wait, next.url_index, next.keep_files, percent};
}

void end_wait(StatusTickContext& context) {
  const PendingAttempt pending = *context.pending;
  context.pending.reset();
  start_attempt(context, pending.url_index, pending.keep_files, pending.percent);
}

// Starts the next attempt where and when the retry policy says: from empty files, or, when the
// connection was cut mid-body, from the partial file it left, which the new job resumes when the
// entity tag is unchanged. A failed deletion was reported by the deletion itself and does not stop
// the restart.
void restart_download(StatusTickContext& context, const StatusSnapshot& now) {
  StatusTickActions& act = context.actions;
  AttemptReport report;
  report.checksum_mismatch = now.phase == Phase::CrcMismatch;
  report.url_index = now.outcome.url_index;
  report.announced = now.outcome.announced;
  report.announced_crc = now.outcome.announced_crc;
  report.announced_etag = now.outcome.announced_etag;
  if (now.outcome.retry_after) report.retry_after = now.outcome.retry_after->wait;
  report.cut_mid_body = now.outcome.cut_mid_body;
  const NextAttempt next = context.policy.after(report);
  if (!next.keep_files) act.delete_download_files();
  context.mismatch_not_moved = report.checksum_mismatch;
  if (next.usual_pause) {
    act.set_taskbar(TaskbarState::Error, std::min<int>(now.percent, 100));
    act.sleep(next.wait);  // the usual pause: the window sits it out
  } else if (next.wait.count() > 0) {
    begin_wait(context, next, now.percent);
    return;
  }
  start_attempt(context, next.url_index, next.keep_files, now.percent);
}

}  // namespace

void status_tick(StatusTickContext& context) {
  StatusTickActions& act = context.actions;
  if (context.pending) {
    // No job runs while the next attempt waits; the bar shows where the next one starts.
    if (act.now() < context.pending->due) {
      act.set_progress(context.pending->keep_files ? context.pending->percent : 0);
    } else {
      end_wait(context);
    }
    return;
  }
  const StatusSnapshot now = context.status->copy();
  switch (now.phase) {
    case Phase::Downloading: {
      const int shown = std::min<int>(now.percent, 100);
      act.set_progress(shown);
      if (shown > 0) context.mismatch_not_moved = false;
      act.set_taskbar(context.mismatch_not_moved ? TaskbarState::Paused : TaskbarState::Normal,
                      shown);
      break;
    }
    case Phase::Downloaded:
      // The full bar stays visible for one tick before the install freezes the window.
      act.set_progress(100);
      act.set_taskbar(TaskbarState::Normal, 100);
      context.status->publish_phase(Phase::Installing);
      break;
    case Phase::CrcMismatch:
    case Phase::Failed:
      restart_download(context, now);
      break;
    case Phase::Installing:
      // Whatever the install and launch did, the run is over.
      act.set_taskbar(TaskbarState::None, 0);
      act.run_install_step();
      act.sleep(EXIT_DELAY);
      act.hide_window();
      act.flush_output();
      act.exit_process(0);
      break;
  }
}

}  // namespace quorvel
