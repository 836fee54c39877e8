// The window side's reaction to the download: moves the progress bar, restarts a failed or corrupt
// download when and where the retry policy says, and hands a verified download to the install step,
// after which the process ends. Runs on the GUI thread only, from the main loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "download/download_status.h"
#include "main/taskbar_state.h"
#include "download/retry_policy.h"

namespace quorvel {

// Everything the tick does to the world. The window build wires these to the toolkit, the download
// engine and the process; tests substitute recorders.
struct StatusTickActions {
  std::function<void(int value)> set_progress;
  // The taskbar button's state and value (0 to 100); nothing where the shell shows none.
  std::function<void(TaskbarState state, int value)> set_taskbar;
  std::function<void()> hide_window;
  std::function<void(std::chrono::milliseconds duration)> sleep;
  std::function<std::chrono::milliseconds()> now;  // a clock that is never set back
  std::function<void()> delete_download_files;
  std::function<void(std::shared_ptr<DownloadStatus> status, size_t url_index)> start_download_job;
  std::function<void()> run_install_step;
  std::function<void()> flush_output;
  std::function<void(int status)> exit_process;  // does not return in the real program
};

// A next attempt that waits longer than the usual pause: the ticks go on meanwhile, so the window
// stays drawn and can be closed.
struct PendingAttempt {
  std::chrono::milliseconds due;  // on the actions' clock
  size_t url_index = 0;
  bool keep_files = false;  // a resume: the bar keeps `percent`
  uint8_t percent = 0;
};

struct StatusTickContext {
  std::shared_ptr<DownloadStatus> status;
  StatusTickActions actions;
  // Set by a checksum mismatch; the taskbar shows paused until the new download has moved.
  bool mismatch_not_moved = false;
  RetryPolicy policy{1, [] { return 0.0; }};
  std::optional<PendingAttempt> pending;
};

constexpr std::chrono::milliseconds RETRY_DELAY = FAILURE_PAUSE;
constexpr std::chrono::milliseconds EXIT_DELAY{1000};

void status_tick(StatusTickContext& context);

}  // namespace quorvel
