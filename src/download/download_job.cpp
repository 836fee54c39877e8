#include "download/download_job.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include "download/crc64.h"
#include "download/download_file.h"
#include "download/download_url.h"
#include "download/files.h"
#include "download/secure_connector.h"
#include "runtime/output.h"

namespace quorvel {

namespace {

Task<void> delete_both(DownloadPaths paths) {
  auto file = co_await run_blocking([&] { return delete_file_at(paths.file); });
  if (!file) print_line(OutputStream::Err, "删除文件失败: " + error_text(file.error()));
  auto tag = co_await run_blocking([&] { return delete_file_at(paths.entity_tag); });
  if (!tag) print_line(OutputStream::Err, "删除ETag文件失败: " + error_text(tag.error()));
}

// "localhost:8443" of a URL, for the lines that say which mirror an attempt went to.
std::string host_of(std::string_view url) {
  auto split = parse_download_url(url);
  if (!split) return std::string(url);
  return std::string(split->host) + ":" + std::to_string(split->port);
}

// What the attempt's lines add to say where it went and what the server asked: nothing for the
// download URL when the server did not ask to wait.
std::string attempt_note(size_t url_index, std::string_view url, const AttemptOutcome& outcome) {
  std::string note;
  if (outcome.retry_after) note += " (Retry-After: " + outcome.retry_after->value + ")";
  if (url_index != 0) note += " (镜像 / mirror " + host_of(url) + ")";
  return note;
}

}  // namespace

DownloadJobSetup default_download_job_setup() {
  DownloadJobSetup setup{DOWNLOAD_URL, secure_connector(), download_paths, launcher_publishers(),
                         system_signature_inspector()};
  for (std::string_view mirror : mirror_urls()) setup.mirrors.emplace_back(mirror);
  setup.issuers = launcher_issuers();
  return setup;
}

Task<void> run_download_job(DownloadJobSetup setup, std::shared_ptr<DownloadStatus> status,
                            size_t url_index) {
  if (url_index > setup.mirrors.size()) url_index = 0;
  const std::string& url = url_index == 0 ? setup.url : setup.mirrors[url_index - 1];
  AttemptOutcome outcome;
  outcome.url_index = url_index;
  auto paths = setup.paths();
  if (!paths) {
    print_line(OutputStream::Err, "下载失败: " + error_text(paths.error()));
    status->publish_phase(Phase::Failed, std::move(outcome));
    co_return;
  }
  if (url_index != 0) print_line(OutputStream::Out, "从镜像下载 / downloading from mirror: " + url);
  const DownloadRequest request{url, paths->file, paths->entity_tag};
  uint64_t remote_crc = 0;
  auto downloaded = co_await download_file(setup.connector, request, remote_crc, outcome, status);
  const std::string note = attempt_note(url_index, url, outcome);
  if (!downloaded) {
    print_line(OutputStream::Err, "下载失败: " + error_text(downloaded.error()) + note);
    status->publish_phase(Phase::Failed, std::move(outcome));
    co_return;
  }
  const std::string& path = request.file_path;
  const bool matches = co_await run_blocking([&] { return verify_file_crc(path, remote_crc); });
  if (matches && !setup.publishers.empty()) {
    // The checksum came from the same server as the file: only the publisher's signature tells a
    // launcher from whatever someone with write access to the server put there.
    auto problem = co_await run_blocking([&] {
      return launcher_signature_problem(setup.signatures, path, setup.publishers, setup.issuers);
    });
    if (problem) {
      print_line(OutputStream::Err,
                 "启动器签名检查失败 / launcher signature check failed: " + *problem + note);
      status->publish_phase(Phase::Failed, std::move(outcome));
      co_return;
    }
  }
  if (matches) {
    print_line(OutputStream::Out, "下载成功");
    // With mirrors, the support log must tell which host the installed launcher came from.
    if (!setup.mirrors.empty()) print_line(OutputStream::Out, "下载来源 / served by: " + url);
    status->publish_phase(Phase::Downloaded, std::move(outcome));
  } else {
    print_line(OutputStream::Err,
               "下载文件CRC检查失败: 远端CRC : " + std::to_string(remote_crc) + note);
    status->publish_phase(Phase::CrcMismatch, std::move(outcome));
  }
}

DownloadJobs::~DownloadJobs() {
  if (job_) job_.detach();
}

void DownloadJobs::start_download_job(std::shared_ptr<DownloadStatus> status, size_t url_index) {
  std::lock_guard lock(mutex_);
  if (job_) cancel_task(job_);  // returns once the old job's frame is gone
  // The job has its own copy of the setup: it may outlive this object.
  job_ = spawn_task(run_download_job(setup_, std::move(status), url_index));
}

bool verify_file_crc(const std::string& path, uint64_t expected) {
  auto contents = read_whole_file(path);
  return contents && crc64_xz(*contents) == expected;
}

void delete_download_files(const DownloadJobSetup& setup) {
  auto paths = setup.paths();
  if (!paths) {
    const std::string text = error_text(paths.error());
    print_line(OutputStream::Err, "删除文件失败: " + text);
    print_line(OutputStream::Err, "删除ETag文件失败: " + text);
    return;
  }
  block_on(delete_both(std::move(*paths)));
}

}  // namespace quorvel
