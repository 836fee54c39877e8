#include "main/remove_tree.h"

#include <windows.h>

#include "runtime/delete_file.h"
#include "runtime/paths.h"
#include "runtime/win_handle.h"

namespace quorvel {
namespace {

void keep_first(Result<void>& first, Result<void> next) {
  if (first.ok() && !next.ok()) first = std::move(next);
}

// Any reparse point counts as a link here: descending into one could reach data outside the tree.
bool is_link(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

Result<void> remove_empty_directory(const std::wstring& path, DWORD attributes) {
  if (RemoveDirectoryW(path.c_str())) return success();
  Error error = last_os_error();
  // A read-only directory refuses removal until the attribute is cleared.
  if (error.code() == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) &&
      SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    if (RemoveDirectoryW(path.c_str())) return success();
    SetFileAttributesW(path.c_str(), attributes);
  }
  return error;
}

// A directory link (junction or symbolic link) goes with RemoveDirectoryW, a file link with a file
// deletion; neither touches the target.
Result<void> remove_link(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return remove_empty_directory(path, attributes);
  return delete_file(path);
}

Result<void> remove_tree(const std::wstring& path, DWORD attributes);

Result<void> remove_contents(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  FindHandle listing(FindFirstFileExW(join_path(path, L"*").c_str(), FindExInfoBasic, &entry,
                                      FindExSearchNameMatch, nullptr, 0));
  if (!listing.valid()) return last_os_error();
  Result<void> first = success();
  do {
    const std::wstring_view name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = join_path(path, name);
    const DWORD attributes = entry.dwFileAttributes;
    if (is_link(attributes)) {
      keep_first(first, remove_link(child, attributes));
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      keep_first(first, remove_tree(child, attributes));
    } else {
      keep_first(first, delete_file(child));
    }
  } while (FindNextFileW(listing.get(), &entry));
  if (GetLastError() != ERROR_NO_MORE_FILES) keep_first(first, last_os_error());
  return first;
}

Result<void> remove_tree(const std::wstring& path, DWORD attributes) {
  Result<void> first = remove_contents(path);
  keep_first(first, remove_empty_directory(path, attributes));
  return first;
}

}  // namespace

Result<void> remove_directory_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
  if (is_link(attributes)) return remove_link(path, attributes);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Error::os(ERROR_DIRECTORY);
  return remove_tree(path, attributes);
}

}  // namespace quorvel
