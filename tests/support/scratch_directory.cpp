#include "support/scratch_directory.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "runtime/paths.h"
#include "support/wine.h"

namespace quorvel::test {
namespace {

// Taken once: the install tests point TMP and TEMP at their own scratch directories.
const std::wstring& real_temp_directory() {
  static const std::wstring directory = [] {
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length);
  }();
  return directory;
}

using WineUnixName = char*(__cdecl*)(const wchar_t*);
using WineDosName = wchar_t*(__cdecl*)(const char*);

// Wine's own path conversions, exported by its kernel32; absent on Windows.
void (*wine_function(const char* name))() {
  return reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32"), name));
}

std::string unix_name(const std::wstring& path) {
  auto convert = reinterpret_cast<WineUnixName>(wine_function("wine_get_unix_file_name"));
  if (!convert) return {};
  char* name = convert(path.c_str());
  if (!name) return {};
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// Runs a Unix program with its arguments, which Wine can start like any Windows program.
bool run_unix(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command = program + L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  const std::wstring image = L"Z:" + program;
  if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    return false;
  }
  WaitForSingleObject(started.hProcess, 10000);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

bool make_unix_link(const std::wstring& link, const std::wstring& target) {
  const std::string link_name = unix_name(link);
  const std::string target_name = unix_name(target);
  if (link_name.empty() || target_name.empty()) return false;
  run_unix(L"/bin/ln", L"-s \"" + widen(target_name) + L"\" \"" + widen(link_name) + L"\"");
  // Wine may report a Unix program as ended before it has run; wait for its effect instead.
  for (int attempt = 0; attempt < 250; ++attempt) {
    if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(20);
  }
  return false;
}

bool make_junction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE directory =
      CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + target;
  const size_t substitute_bytes = substitute.size() * sizeof(wchar_t);
  const size_t print_bytes = target.size() * sizeof(wchar_t);
  // REPARSE_DATA_BUFFER for a mount point: tag, length, reserved, four offsets/lengths, names.
  std::vector<unsigned char> buffer(16 + substitute_bytes + 2 + print_bytes + 2);
  auto put16 = [&](size_t at, size_t value) {
    const uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(&buffer[at], &v, 2);
  };
  const uint32_t tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, buffer.size() - 8);
  put16(8, 0);
  put16(10, substitute_bytes);
  put16(12, substitute_bytes + 2);
  put16(14, print_bytes);
  std::memcpy(&buffer[16], substitute.data(), substitute_bytes);
  std::memcpy(&buffer[16 + substitute_bytes + 2], target.data(), print_bytes);
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(directory);
  if (!ok) RemoveDirectoryW(link.c_str());
  return ok;
}

// Clears read-only attributes on the way, and never descends into a link.
bool remove_everything(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str());
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    for (const std::wstring& name : list_names(path)) remove_everything(join_path(path, name));
  }
  return RemoveDirectoryW(path.c_str());
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  // Wine reuses small process ids from run to run, so the clock makes the name unique too.
  static int counter = 0;
  do {
    path_ = real_temp_directory() + L"quorvel-test-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
  } while (!CreateDirectoryW(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
}

ScratchDirectory::~ScratchDirectory() {
  // A child that has just written its marker may still be ending; give it a moment.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (remove_everything(path_)) return;
    Sleep(50);
  }
}

std::wstring ScratchDirectory::operator/(std::wstring_view name) const {
  return join_path(path_, name);
}

std::wstring fake_setup_path() {
  const std::string built = FAKE_SETUP_PATH;
  if (!built.empty() && built[0] == '/') {
    auto convert = reinterpret_cast<WineDosName>(wine_function("wine_get_dos_file_name"));
    if (convert) {
      if (wchar_t* name = convert(built.c_str())) {
        std::wstring result = name;
        HeapFree(GetProcessHeap(), 0, name);
        return result;
      }
    }
  }
  std::wstring path(built.begin(), built.end());
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

bool write_file(const std::wstring& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::optional<std::string> read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    content.append(buffer, got);
  CloseHandle(file);
  return content;
}

bool make_directory(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr);
}

std::vector<std::wstring> list_names(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(join_path(directory, L"*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> wait_for_file(const std::wstring& path,
                                         std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (std::optional<std::string> content = read_file(path)) return content;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    Sleep(20);
  }
}

bool make_directory_link(const std::wstring& link, const std::wstring& target) {
  if (under_wine()) return make_unix_link(link, target);
  return make_junction(link, target);
}

bool make_file_link(const std::wstring& link, const std::wstring& target) {
  // Wine shows a Unix symbolic link to a file as a plain file, and deleting it deletes the target:
  // such a link says nothing about Windows.
  if (under_wine()) return false;
  return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
         GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void remove_link(const std::wstring& link) {
  if (under_wine()) {
    const std::string name = unix_name(link);
    if (name.empty()) return;
    run_unix(L"/bin/rm", L"-f \"" + widen(name) + L"\"");
    for (int attempt = 0; attempt < 250; ++attempt) {
      WIN32_FIND_DATAW entry;
      HANDLE found = FindFirstFileW(link.c_str(), &entry);
      if (found == INVALID_HANDLE_VALUE) return;
      FindClose(found);
      Sleep(20);
    }
    return;
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(link.c_str());
  } else {
    DeleteFileW(link.c_str());
  }
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
  return result;
}

}  // namespace quorvel::test
