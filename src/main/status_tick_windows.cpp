#include "main/status_tick_windows.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "download/download_job.h"
#include "main/install_step.h"
#include "main/main_loop.h"

namespace quorvel {
namespace {

// The install's pauses keep the window drawn and closable; the monotonic clock in the loop's
// 100 ns units.
RetryWaits window_waits() {
  MainLoopHooks hooks;
  hooks.message_step = [] { return uiMainStep(0); };
  hooks.now = [] { return static_cast<int64_t>(GetTickCount64()) * 10'000; };
  hooks.sleep = [](int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); };
  RetryWaits waits;
  waits.now_ms = [] { return static_cast<int64_t>(GetTickCount64()); };
  waits.pause = [hooks](int64_t milliseconds) {
    return wait_handling_messages(hooks, milliseconds);
  };
  return waits;
}

}  // namespace

StatusTickContext make_status_tick_context(std::shared_ptr<DownloadStatus> status,
                                           const ProgressWindow& window) {
  StatusTickContext context;
  context.status = std::move(status);
  StatusTickActions& act = context.actions;
  act.set_progress = [progress = window.progress](int value) {
    std::lock_guard lock(progress->mutex);
    uiProgressBarSetValue(progress->bar, value);
  };
  act.set_taskbar = [taskbar = window.taskbar](TaskbarState state, int value) {
    taskbar->show(state, value);
  };
  act.hide_window = [frame = window.window] { uiControlHide(uiControl(frame)); };
  act.sleep = [](std::chrono::milliseconds duration) {
    Sleep(static_cast<DWORD>(duration.count()));
  };
  act.delete_download_files = [] { delete_download_files(); };
  act.start_download_job = [](std::shared_ptr<DownloadStatus> record) {
    start_download_job(std::move(record));
  };
  act.run_install_step = [] {
    // A close during the install's pauses ends the run at once, as a close always does.
    if (!run_install_step(window_waits())) {
      std::fflush(stdout);
      ExitProcess(0);
    }
  };
  act.flush_output = [] { std::fflush(stdout); };
  // Nothing is torn down: the download job, the toolkit and the runtime's threads end with the
  // process.
  act.exit_process = [](int code) { ExitProcess(static_cast<UINT>(code)); };
  return context;
}

}  // namespace quorvel
