// The download job: one attempt to download and verify the launcher, started on the worker runtime
// by the window side at start-up and again for every retry. Its only effects are the files, one
// outcome line and the final phase it publishes in the shared status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_paths.h"
#include "download/download_status.h"
#include "download/launcher_signature.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

// Where jobs download from and to, and whose signature a verified file must carry. The defaults
// are the built-in URL and mirrors, the TLS connector, the temporary folder, the publishers and CAs
// the program was built with (no publishers: no signature check) and the system's signature check;
// tests replace them.
struct DownloadJobSetup {
  std::string url;
  Connector connector;
  std::function<Result<DownloadPaths>()> paths;
  std::span<const std::string_view> publishers = {};
  SignatureInspector signatures = {};
  std::vector<std::string> mirrors = {};           // tried in turn after `url`
  std::span<const std::string_view> issuers = {};  // the signer's chain must hold one (any: none)
};
DownloadJobSetup default_download_job_setup();

// Downloads from the URL at `url_index` (0: setup.url; 1 and on: the mirrors in order), checks,
// prints the outcome and publishes Downloaded, CrcMismatch or Failed with the attempt's outcome.
Task<void> run_download_job(DownloadJobSetup setup, std::shared_ptr<DownloadStatus> status,
                            size_t url_index = 0);

// True exactly when the file can be read to its end and its CRC-64/XZ equals expected. Reads the
// whole file into memory; prints nothing.
bool verify_file_crc(const std::string& path, uint64_t expected);

// Deletes the download file and then the entity-tag file, printing a line for each failure.
// Blocks the calling thread until both have been tried.
void delete_download_files(const DownloadJobSetup& setup);

// The download jobs of one run, made at start-up and handed to the window's tick: their setup and
// the job started last. At most one job runs at a time.
class DownloadJobs {
 public:
  explicit DownloadJobs(DownloadJobSetup setup) : setup_(std::move(setup)) {}
  DownloadJobs(const DownloadJobs&) = delete;
  DownloadJobs& operator=(const DownloadJobs&) = delete;
  // A job still running is left to run on: the process ends without stopping or waiting for it.
  ~DownloadJobs();

  // Cancels the job started last (waiting until it has stopped), then spawns a new one on the URL
  // at `url_index`.
  void start_download_job(std::shared_ptr<DownloadStatus> status, size_t url_index = 0);
  // The download URL and its mirrors, which the jobs take turns on.
  size_t url_count() const { return 1 + setup_.mirrors.size(); }
  void delete_download_files() const { quorvel::delete_download_files(setup_); }

 private:
  const DownloadJobSetup setup_;
  std::mutex mutex_;
  TaskHandle job_;
};

}  // namespace quorvel
