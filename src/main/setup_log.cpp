#include "main/setup_log.h"

#include <windows.h>

#include <memory>
#include <string>

#include "download/diagnostic_log.h"
#include "download/download_url.h"
#include "main/win_handle.h"
#include "net/schannel_credentials.h"
#include "runtime/paths.h"

namespace quorvel {
namespace {

class Win32LogFile final : public LogFile {
 public:
  explicit Win32LogFile(UniqueHandle handle) : handle_(std::move(handle)) {}

  LocalTime now() override {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  }

  void append(std::string_view bytes) override {
    // Opened for appending only: each write lands whole at the end, after whatever another writer
    // added. A short or failed write is not retried; the run must not wait on its log.
    DWORD written = 0;
    WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

 private:
  UniqueHandle handle_;
};

std::string windows_version_text() {
  std::optional<WindowsVersion> version = running_windows_version();
  if (!version) return "Windows (version unknown)";
  return "Windows " + std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
         std::to_string(version->build);
}

// False when the log should be skipped this run: it is too large and could not be set aside, so
// appending to it would let it grow without bound.
bool rotate_if_needed(const std::wstring& log, const std::wstring& old) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data)) return true;
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  if (!log_needs_rotation(size)) return true;
  return MoveFileExW(log.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace

void start_setup_log() {
  Result<std::wstring> temp = temp_root();
  if (!temp) return;  // no log rather than one in whatever the current directory happens to be
  const std::wstring log = join_path(*temp, L"QuorvelSetup.log");
  if (!rotate_if_needed(log, join_path(*temp, L"QuorvelSetup.log.old"))) return;

  // Shared for reading, writing and deletion: a player may open, copy or delete it while the
  // program runs. Not inherited by the started setup executable.
  UniqueHandle handle(CreateFileW(log.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return;
  start_diagnostic_log(std::make_shared<Win32LogFile>(std::move(handle)),
                       log_header(QUORVEL_VERSION, DOWNLOAD_URL, windows_version_text()));
}

}  // namespace quorvel
