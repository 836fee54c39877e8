// The status tick wired to the real world: the window's bar and frame, Sleep, the download
// engine, the install step and the end of the process.
#pragma once

#include <memory>

#include "download/download_job.h"
#include "download/download_status.h"
#include "main/progress_window.h"
#include "main/status_tick.h"

namespace quorvel {

StatusTickContext make_status_tick_context(std::shared_ptr<DownloadStatus> status,
                                           const ProgressWindow& window,
                                           std::shared_ptr<DownloadJobs> jobs);

}  // namespace quorvel
