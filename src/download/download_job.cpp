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

struct SetupSlot {
  std::mutex mutex;
  DownloadJobSetup setup = default_download_job_setup();
};

SetupSlot& setup_slot() {
  static SetupSlot* slot = new SetupSlot;  // never destroyed: jobs may outlive main's return
  return *slot;
}

DownloadJobSetup current_setup() {
  std::lock_guard lock(setup_slot().mutex);
  return setup_slot().setup;
}

struct JobSlot {
  std::mutex mutex;
  TaskHandle job;  // the job started last
};

JobSlot& job_slot() {
  static JobSlot* slot = new JobSlot;  // a running job is abandoned, not stopped, at process end
  return *slot;
}

void publish(DownloadStatus& status, Phase phase) {
  std::lock_guard lock(status.mutex);
  status.phase = phase;
}

Task<void> delete_both(DownloadPaths paths) {
  auto file = co_await run_blocking([&] { return delete_file_at(paths.file); });
  if (!file) print_line(OutputStream::Err, "删除文件失败: " + error_text(file.error()));
  auto tag = co_await run_blocking([&] { return delete_file_at(paths.entity_tag); });
  if (!tag) print_line(OutputStream::Err, "删除ETag文件失败: " + error_text(tag.error()));
}

}  // namespace

DownloadJobSetup default_download_job_setup() {
  return {DOWNLOAD_URL, secure_connector(), download_paths, launcher_publishers(),
          system_signature_inspector()};
}

void set_download_job_setup(DownloadJobSetup setup) {
  std::lock_guard lock(setup_slot().mutex);
  setup_slot().setup = std::move(setup);
}

Task<void> run_download_job(std::shared_ptr<DownloadStatus> status) {
  const DownloadJobSetup setup = current_setup();
  auto paths = setup.paths();
  if (!paths) {
    print_line(OutputStream::Err, "下载失败: " + error_text(paths.error()));
    publish(*status, Phase::Failed);
    co_return;
  }
  const DownloadRequest request{setup.url, paths->file, paths->entity_tag};
  uint64_t remote_crc = 0;
  auto downloaded = co_await download_file(setup.connector, request, remote_crc, status);
  if (!downloaded) {
    print_line(OutputStream::Err, "下载失败: " + error_text(downloaded.error()));
    publish(*status, Phase::Failed);
    co_return;
  }
  const std::string& path = request.file_path;
  const bool matches = co_await run_blocking([&] { return verify_file_crc(path, remote_crc); });
  if (matches && !setup.publishers.empty()) {
    // The checksum came from the same server as the file: only the publisher's signature tells a
    // launcher from whatever someone with write access to the server put there.
    auto problem = co_await run_blocking(
        [&] { return launcher_signature_problem(setup.signatures, path, setup.publishers); });
    if (problem) {
      print_line(OutputStream::Err,
                 "启动器签名检查失败 / launcher signature check failed: " + *problem);
      publish(*status, Phase::Failed);
      co_return;
    }
  }
  if (matches) {
    print_line(OutputStream::Out, "下载成功");
    publish(*status, Phase::Downloaded);
  } else {
    print_line(OutputStream::Err, "下载文件CRC检查失败: 远端CRC : " + std::to_string(remote_crc));
    publish(*status, Phase::CrcMismatch);
  }
}

void start_download_job(std::shared_ptr<DownloadStatus> status) {
  JobSlot& slot = job_slot();
  std::lock_guard lock(slot.mutex);
  if (slot.job) cancel_task(slot.job);  // returns once the old job's frame is gone
  slot.job = spawn_task(run_download_job(std::move(status)));
}

bool verify_file_crc(const std::string& path, uint64_t expected) {
  auto contents = read_whole_file(path);
  return contents && crc64_xz(*contents) == expected;
}

void delete_download_files() {
  const DownloadJobSetup setup = current_setup();
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
