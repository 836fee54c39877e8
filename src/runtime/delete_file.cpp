#include "runtime/delete_file.h"

#include <windows.h>

namespace quorvel {
namespace {

// FILE_DISPOSITION_INFO_EX and its flags, which older SDK headers lack.
struct DispositionInfoEx {
  ULONG flags;
};
constexpr ULONG DISPOSITION_DELETE = 0x00000001;
constexpr ULONG DISPOSITION_POSIX_SEMANTICS = 0x00000002;
constexpr ULONG DISPOSITION_IGNORE_READONLY_ATTRIBUTE = 0x00000010;
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (valid()) CloseHandle(h_);
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Deletes through a handle: POSIX semantics unlink the name at once even while others hold the file
// open with delete sharing, and the read-only attribute is no obstacle.
bool delete_by_handle(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return false;
  DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                         DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
  return SetFileInformationByHandle(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &info,
                                    sizeof info) != 0;
}

}  // namespace

Result<void> delete_file(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return success();
  DWORD first = GetLastError();
  if (first == ERROR_ACCESS_DENIED && delete_by_handle(path)) return success();
  return Error::os(static_cast<int32_t>(first));
}

}  // namespace quorvel
