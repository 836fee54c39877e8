#include "runtime/delete_file.h"

#include <windows.h>

#include "runtime/system_calls.h"
#include "runtime/win_handle.h"

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

enum class HandleDelete { Deleted, Failed, Unsupported };

// Deletes through a handle: POSIX semantics unlink the name at once even while others hold the file
// open with delete sharing, and the read-only attribute is no obstacle.
HandleDelete delete_by_handle(const std::wstring& path) {
  UniqueHandle file(system_calls().create_file(
      path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return HandleDelete::Failed;
  DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                         DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
  if (system_calls().set_file_information(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &info,
                                          sizeof info))
    return HandleDelete::Deleted;
  // Before Windows 10 1809 (and under Wine) the extended disposition does not exist.
  const DWORD error = GetLastError();
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                 error == ERROR_INVALID_FUNCTION
             ? HandleDelete::Unsupported
             : HandleDelete::Failed;
}

// Where the extended disposition is missing, a read-only file is deleted the old way: clear the
// attribute, delete, and put the attribute back if the file stays.
bool delete_read_only(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
  if (system_calls().delete_file(path.c_str())) return true;
  SetFileAttributesW(path.c_str(), attributes);
  return false;
}

}  // namespace

Result<void> delete_file(const std::wstring& path) {
  if (system_calls().delete_file(path.c_str())) return success();
  DWORD first = GetLastError();
  if (first == ERROR_ACCESS_DENIED) {
    switch (delete_by_handle(path)) {
      case HandleDelete::Deleted:
        return success();
      case HandleDelete::Unsupported:
        if (delete_read_only(path)) return success();
        break;
      case HandleDelete::Failed:
        break;
    }
  }
  return Error::os(static_cast<int32_t>(first));
}

}  // namespace quorvel
