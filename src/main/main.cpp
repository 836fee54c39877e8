// The entry point: start-up in a fixed order, the main loop, and the exit status.
#include <windows.h>

#include <string>
#include <string_view>

#include "download/download_job.h"
#include "download/download_status.h"
#include "download/download_url.h"
#include "main/banner.h"
#include "main/display.h"
#include "main/end_process.h"
#include "main/main_loop.h"
#include "main/progress_window.h"
#include "main/single_instance.h"
#include "main/status_tick.h"
#include "main/status_tick_windows.h"
#include "main/std_streams.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/support_log.h"
#include "runtime/system_library.h"
#include "runtime/windows_version.h"
#include "ui.h"

namespace quorvel {
namespace {

constexpr int EXIT_FATAL_STARTUP = 101;

int fatal_startup_error(std::string_view step, std::string_view error) {
  std::string line = "启动失败 / start-up failed: ";
  line += step;
  line += ": ";
  line += error;
  print_line(OutputStream::Err, line);
  return EXIT_FATAL_STARTUP;
}

std::string windows_version_text() {
  std::optional<WindowsVersion> version = running_windows_version();
  if (!version) return "Windows (version unknown)";
  return "Windows " + std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
         std::to_string(version->build);
}

// Wall clock in 100 ns units; available on every supported Windows version.
int64_t wall_clock_now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

// The main loop's work for this run: toolkit messages, the wall clock, and the status tick that
// follows the download job.
MainLoopHooks main_loop_hooks(std::shared_ptr<StatusTickContext> tick) {
  MainLoopHooks hooks;
  hooks.message_step = [] { return uiMainStep(0); };
  hooks.now = wall_clock_now;
  hooks.sleep = [](int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); };
  hooks.tick = [tick = std::move(tick)] { status_tick(*tick); };
  return hooks;
}

int run() {
  Result<BannerImage> banner = decode_banner();
  if (!banner)
    return fatal_startup_error("decoding the banner (decode_banner)", error_text(banner.error()));

  Result<PrimaryOutput> output = find_primary_output();
  if (!output)
    return fatal_startup_error("querying the display output (find_primary_output)",
                               error_text(output.error()));

  uiInitOptions options = {};
  options.Size = 8;
  if (const char* err = uiInit(&options); err != nullptr) {
    std::string text = err;
    uiFreeInitError(err);
    return fatal_startup_error("initializing the GUI toolkit (uiInit)", text);
  }

  ProgressWindow window = create_progress_window(std::move(banner.value()), *output);

  auto status = std::make_shared<DownloadStatus>();
  auto jobs = std::make_shared<DownloadJobs>(default_download_job_setup());
  jobs->start_download_job(status);
  MainLoopHooks hooks = main_loop_hooks(std::make_shared<StatusTickContext>(
      make_status_tick_context(std::move(status), window, std::move(jobs))));
  uiMainSteps();
  run_main_loop(hooks);

  // Teardown: the loop's references first, then the display output before its adapter. The
  // toolkit is not shut down; the window goes with the process.
  hooks = {};
  window.progress.reset();
  output->output.reset();
  output->adapter.reset();
  return 0;
}

}  // namespace
}  // namespace quorvel

int main() {
  // First, before anything loads a DLL by name.
  quorvel::restrict_dll_search();
  quorvel::attach_std_streams();
  // Before any window, download or file operation: a second copy leaves everything to the first.
  quorvel::SingleInstance instance = quorvel::SingleInstance::claim();
  if (!instance.first()) {
    quorvel::show_running_copy();
    return 0;
  }
  // Only the running copy writes the log (a second copy must not set it aside under the first).
  quorvel::start_support_log(
      quorvel::open_support_log_file(),
      quorvel::log_header(QUORVEL_VERSION, quorvel::DOWNLOAD_URL, quorvel::windows_version_text()));
  quorvel::report_uncaught_exceptions();
  // The download job may still run (the window was closed): it ends with the process.
  quorvel::end_process(quorvel::run());
}
