// The window side's reaction to the download: moves the progress bar, restarts a failed or corrupt
// download, and hands a verified download to the install step, after which the process ends.
// Runs on the GUI thread only, from the main loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "download/download_status.h"
#include "main/taskbar_state.h"

namespace quorvel {

// Everything the tick does to the world. The window build wires these to the toolkit, the download
// engine and the process; tests substitute recorders.
struct StatusTickActions {
  std::function<void(int value)> set_progress;
  // The taskbar button's state and value (0 to 100); nothing where the shell shows none.
  std::function<void(TaskbarState state, int value)> set_taskbar;
  std::function<void()> hide_window;
  std::function<void(std::chrono::milliseconds duration)> sleep;
  std::function<void()> delete_download_files;
  std::function<void(std::shared_ptr<DownloadStatus> status)> start_download_job;
  std::function<void()> run_install_step;
  std::function<void()> flush_output;
  std::function<void(int status)> exit_process;  // does not return in the real program
};

struct StatusTickContext {
  std::shared_ptr<DownloadStatus> status;
  StatusTickActions actions;
  // Set by a checksum mismatch; the taskbar shows paused until the new download has moved.
  bool mismatch_not_moved = false;
};

constexpr std::chrono::milliseconds RETRY_DELAY{3000};
constexpr std::chrono::milliseconds EXIT_DELAY{1000};

void status_tick(StatusTickContext& context);

}  // namespace quorvel
