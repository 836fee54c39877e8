// Runs the real download job once against a server and reports its outcome, for the end-to-end
// tests against nginx. Lines go to the process's real standard output and standard error.
//
//   download_probe DIR URL              one job; then "phase: N" on standard output
//   download_probe DIR URL BYTES        a job that is cancelled by a second start once the download
//                                       file holds at least BYTES bytes; then the second job's
//                                       phase
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "download/download_job.h"
#include "download/secure_connector.h"
#include "runtime/task.h"

using namespace quorvel;

namespace {

Phase wait_for_outcome(const DownloadStatus& status) {
  for (;;) {
    const Phase phase = status.copy().phase;
    if (phase != Phase::Downloading) return phase;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: download_probe DIR URL [BYTES]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string file = dir + "\\QuorvelLauncher.bin";
  const std::filesystem::path file_path(std::u8string(file.begin(), file.end()));  // UTF-8 name
  const std::string tag = dir + "\\QuorvelLauncher.bin.etag";
  const DownloadJobSetup setup{argv[2], secure_connector(), [file, tag]() -> Result<DownloadPaths> {
                                 return DownloadPaths{file, tag};
                               }};
  auto status = std::make_shared<DownloadStatus>();
  DownloadJobs jobs(setup);
  if (argc == 3) {
    block_on(run_download_job(setup, status));
  } else {
    const uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    jobs.start_download_job(status);
    for (;;) {
      std::error_code missing;
      const auto size = std::filesystem::file_size(file_path, missing);
      if (!missing && size >= bytes) break;
      // Finished too early: the test says so.
      if (status->copy().phase != Phase::Downloading) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    jobs.start_download_job(status);
  }
  const Phase phase = wait_for_outcome(*status);
  std::printf("phase: %d\n", static_cast<int>(phase));
  std::fflush(stdout);
  return 0;
}
