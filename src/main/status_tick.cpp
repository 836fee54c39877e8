#include "main/status_tick.h"

#include <algorithm>

namespace quorvel {
namespace {

// Starts the download again: from empty files, or, when the connection was cut mid-body, from the
// partial file it left, which the new job resumes when the entity tag is unchanged (the bar then
// keeps its place). A failed deletion was reported by the deletion itself and does not stop the
// restart.
void restart_download(StatusTickContext& context, const StatusSnapshot& now) {
  StatusTickActions& act = context.actions;
  const bool keep_files = now.outcome.cut_mid_body;
  if (!keep_files) act.delete_download_files();
  if (now.phase == Phase::Failed) act.sleep(RETRY_DELAY);
  if (!keep_files) act.set_progress(0);
  context.status->reset(keep_files ? now.percent : 0);
  act.start_download_job(context.status);
}

}  // namespace

void status_tick(StatusTickContext& context) {
  const StatusSnapshot now = context.status->copy();
  StatusTickActions& act = context.actions;
  switch (now.phase) {
    case Phase::Downloading:
      act.set_progress(std::min<int>(now.percent, 100));
      break;
    case Phase::Downloaded:
      // The full bar stays visible for one tick before the install freezes the window.
      act.set_progress(100);
      context.status->publish_phase(Phase::Installing);
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
