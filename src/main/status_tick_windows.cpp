#include "main/status_tick_windows.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "main/install_step.h"

namespace quorvel {

StatusTickContext make_status_tick_context(std::shared_ptr<DownloadStatus> status,
                                           const ProgressWindow& window,
                                           std::shared_ptr<DownloadJobs> jobs) {
  StatusTickContext context;
  context.status = std::move(status);
  context.policy = RetryPolicy(jobs->url_count(), random_jitter());
  StatusTickActions& act = context.actions;
  act.set_progress = [progress = window.progress](int value) {
    std::lock_guard lock(progress->mutex);
    uiProgressBarSetValue(progress->bar, value);
  };
  act.hide_window = [frame = window.window] { uiControlHide(uiControl(frame)); };
  act.sleep = [](std::chrono::milliseconds duration) {
    Sleep(static_cast<DWORD>(duration.count()));
  };
  act.now = [] { return std::chrono::milliseconds(GetTickCount64()); };
  act.delete_download_files = [jobs] { jobs->delete_download_files(); };
  act.start_download_job = [jobs](std::shared_ptr<DownloadStatus> record, size_t url_index) {
    jobs->start_download_job(std::move(record), url_index);
  };
  act.run_install_step = [] { run_install_step(); };
  act.flush_output = [] { std::fflush(stdout); };
  // Nothing is torn down: the download job, the toolkit and the runtime's threads end with the
  // process.
  act.exit_process = [](int code) { ExitProcess(static_cast<UINT>(code)); };
  return context;
}

}  // namespace quorvel
