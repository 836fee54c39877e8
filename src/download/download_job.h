// The download job: one attempt to download and verify the launcher, started on the worker runtime
// by the window side at start-up and again for every retry. Its only effects are the files, one
// outcome line and the final phase it publishes in the shared status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/download_paths.h"
#include "download/download_status.h"
#include "download/launcher_signature.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

// Cancels the job started last (waiting until it has stopped), then spawns a new one that downloads
// from the URL at `url_index` (0: the download URL; 1 and on: the mirrors in order).
void start_download_job(std::shared_ptr<DownloadStatus> status, size_t url_index = 0);

// Downloads, checks, prints the outcome and publishes Downloaded, CrcMismatch or Failed with the
// attempt's outcome.
Task<void> run_download_job(std::shared_ptr<DownloadStatus> status, size_t url_index = 0);

// The download URL and its mirrors that jobs take turns on.
size_t download_url_count();

// True exactly when the file can be read to its end and its CRC-64/XZ equals expected. Reads the
// whole file into memory; prints nothing.
bool verify_file_crc(const std::string& path, uint64_t expected);

// Deletes the download file and then the entity-tag file, printing a line for each failure.
// Blocks the calling thread until both have been tried.
void delete_download_files();

// Where jobs download from and to, and whose signature a verified file must carry. The defaults
// are the built-in URL and mirrors, the TLS connector, the temporary folder, the publishers the
// program was built with (none: no signature check) and the system's signature check; tests replace
// them.
struct DownloadJobSetup {
  std::string url;
  Connector connector;
  std::function<Result<DownloadPaths>()> paths;
  std::span<const std::string_view> publishers = {};
  SignatureInspector signatures = {};
  std::vector<std::string> mirrors = {};  // tried in turn after `url`
};
DownloadJobSetup default_download_job_setup();
void set_download_job_setup(DownloadJobSetup setup);  // for jobs and deletions started afterwards

}  // namespace quorvel
