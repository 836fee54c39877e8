// The support log's file on Windows: appended to through one handle, renamed aside when full.
#include <windows.h>

#include <memory>
#include <string>

#include "runtime/paths.h"
#include "runtime/support_log.h"
#include "runtime/win_handle.h"

namespace quorvel {
namespace {

// Shared for reading, writing and deletion: a player may open, copy or delete the log while the
// program runs. Not inherited by the started setup executable.
UniqueHandle open_for_append(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class Win32SupportLogFile final : public SupportLogFile {
 public:
  Win32SupportLogFile(std::wstring path, std::wstring old_path, UniqueHandle handle, uint64_t size)
      : path_(std::move(path)),
        old_path_(std::move(old_path)),
        handle_(std::move(handle)),
        size_(size) {}

  LocalTime now() override {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  }

  uint64_t size() override { return size_; }

  void append(std::string_view bytes) override {
    // Opened for appending only: each write lands whole at the end. A short or failed write is not
    // retried; the run must not wait on its log.
    DWORD written = 0;
    WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    size_ += written;
  }

  bool set_aside() override {
    handle_.reset();  // the renamed file keeps no handle of ours, and the new one gets its own
    if (!MoveFileExW(path_.c_str(), old_path_.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    handle_ = open_for_append(path_);
    if (!handle_.valid()) return false;
    size_ = 0;
    return true;
  }

 private:
  std::wstring path_;
  std::wstring old_path_;
  UniqueHandle handle_;
  uint64_t size_;
};

}  // namespace

std::shared_ptr<SupportLogFile> open_support_log_file() {
  Result<std::wstring> path = support_log_path();
  Result<std::wstring> old_path = old_support_log_path();
  if (!path || !old_path) return nullptr;
  UniqueHandle handle = open_for_append(*path);
  LARGE_INTEGER size;
  if (!handle.valid() || !GetFileSizeEx(handle.get(), &size)) return nullptr;
  return std::make_shared<Win32SupportLogFile>(std::move(*path), std::move(*old_path),
                                               std::move(handle),
                                               static_cast<uint64_t>(size.QuadPart));
}

}  // namespace quorvel
