#include "main/status_tick.h"

#include <algorithm>
#include <mutex>

namespace quorvel {
namespace {

struct StatusCopy {
  Phase phase;
  uint8_t percent;
};

// The record's lock is held only here and in write_status, never across an action.
StatusCopy read_status(DownloadStatus& status) {
  std::lock_guard lock(status.mutex);
  return {status.phase, status.percent};
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

// Starts the download again from empty files. A failed deletion was reported by the deletion itself
// and does not stop the restart.
void restart_download(StatusTickContext& context, bool after_failure, int shown) {
  StatusTickActions& act = context.actions;
  act.delete_download_files();
  if (after_failure) {
    act.set_taskbar(TaskbarState::Error, shown);
    act.sleep(RETRY_DELAY);
  }
  act.set_progress(0);
  context.mismatch_not_moved = !after_failure;
  act.set_taskbar(after_failure ? TaskbarState::Normal : TaskbarState::Paused, 0);
  reset_status(*context.status);
  act.start_download_job(context.status);
}

}  // namespace

void status_tick(StatusTickContext& context) {
  const StatusCopy now = read_status(*context.status);
  StatusTickActions& act = context.actions;
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
      write_phase(*context.status, Phase::Installing);
      break;
    case Phase::CrcMismatch:
      restart_download(context, false, 0);
      break;
    case Phase::Failed:
      restart_download(context, true, std::min<int>(now.percent, 100));
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
