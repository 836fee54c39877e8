// The support log's file on Windows: appended to through one handle, renamed aside when full.
#include <windows.h>

#include <memory>
#include <string>

#include "runtime/paths.h"
#include "runtime/support_log.h"

namespace quorvel {
namespace {

// Shared for reading, writing and deletion: a player may open, copy or delete the log while the
// program runs. Not inherited by the started setup executable.
HANDLE open_for_append(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class Win32SupportLogFile final : public SupportLogFile {
 public:
  Win32SupportLogFile(std::wstring path, std::wstring old_path, HANDLE handle, uint64_t size)
      : path_(std::move(path)), old_path_(std::move(old_path)), handle_(handle), size_(size) {}
  ~Win32SupportLogFile() override { close(); }

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
    WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    size_ += written;
  }

  bool set_aside() override {
    close();  // the renamed file keeps no handle of ours, and the new one gets its own
    if (!MoveFileExW(path_.c_str(), old_path_.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    handle_ = open_for_append(path_);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    size_ = 0;
    return true;
  }

 private:
  void close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  std::wstring path_;
  std::wstring old_path_;
  HANDLE handle_;
  uint64_t size_;
};

}  // namespace

std::shared_ptr<SupportLogFile> open_support_log_file() {
  Result<std::wstring> path = support_log_path();
  Result<std::wstring> old_path = old_support_log_path();
  if (!path || !old_path) return nullptr;
  HANDLE handle = open_for_append(*path);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_shared<Win32SupportLogFile>(std::move(*path), std::move(*old_path), handle,
                                               static_cast<uint64_t>(size.QuadPart));
}

}  // namespace quorvel
