#include "main/file_ops.h"

#include <windows.h>

#include "download/files.h"
#include "runtime/utf.h"
#include "runtime/win_handle.h"

namespace quorvel {
namespace {

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// The path one level up, or empty when there is none. A drive's root keeps its backslash, since
// "C:" alone names the drive's current directory.
std::wstring parent_of(const std::wstring& path) {
  size_t end = path.size();
  while (end > 0 && is_separator(path[end - 1])) --end;
  size_t pos = end;
  while (pos > 0 && !is_separator(path[pos - 1])) --pos;
  if (pos == 0) return {};
  std::wstring parent = path.substr(0, pos - 1);
  if (parent.empty() || parent.back() == L':') parent = path.substr(0, pos);
  if (parent.size() >= path.size()) return {};
  return parent;
}

bool is_directory(const std::wstring& path) {
  Result<EntryType> type = resolved_type(path);
  return type.ok() && *type == EntryType::Directory;
}

}  // namespace

bool path_exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<EntryType> resolved_type(const std::wstring& path) {
  // Attribute access alone never conflicts with another opener's sharing mode.
  UniqueHandle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return last_os_error();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info)) {
    return last_os_error();
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Directory
                                                            : EntryType::File;
}

Result<void> create_directory_with_parents(const std::wstring& path) {
  if (path.empty()) return success();
  if (CreateDirectoryW(path.c_str(), nullptr)) return success();
  DWORD error = GetLastError();
  if (error == ERROR_PATH_NOT_FOUND) {
    std::wstring parent = parent_of(path);
    if (!parent.empty()) {
      Result<void> made = create_directory_with_parents(parent);
      if (!made.ok()) return made;
      if (CreateDirectoryW(path.c_str(), nullptr)) return success();
      error = GetLastError();
    }
  }
  // Already there (or made meanwhile by someone else) is what was wanted.
  if (is_directory(path)) return success();
  return Error::os(static_cast<int32_t>(error));
}

Result<void> create_empty_file(const std::wstring& path) {
  std::optional<std::string> utf8 = utf16_to_utf8(path);
  if (!utf8) return Error::kind(ErrorKind::InvalidInput, "path is not valid UTF-16");
  Result<File> file = File::create_truncate(*utf8);
  if (!file) return file.take_error();
  return success();
}

Result<void> copy_file(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) {
    return last_os_error();
  }
  return success();
}

std::string display_path(std::wstring_view path) {
  return utf16_to_display_utf8(path);
}

}  // namespace quorvel
