#include "main/launch.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "main/busy_retry.h"
#include "runtime/win_handle.h"

namespace quorvel {
namespace {

constexpr char NOT_VERIFIED[] = "the setup executable is not the verified download";
constexpr DWORD COMPARE_CHUNK = 64 * 1024;

Error last_error() {
  return Error::os(static_cast<int32_t>(GetLastError()));
}

Error not_verified() {
  return Error::kind(ErrorKind::InvalidData, NOT_VERIFIED);
}

// Read sharing only: nobody may write, delete or rename the file while it is held.
Result<UniqueHandle> open_held(const std::wstring& path) {
  // A link is never followed: what is compared must be what is started.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return last_error();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return last_error();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    return not_verified();
  }
  return file;
}

Result<bool> read_all(HANDLE file, std::vector<char>& buffer, DWORD& got) {
  got = 0;
  while (got < buffer.size()) {
    DWORD n = 0;
    if (!ReadFile(file, buffer.data() + got, static_cast<DWORD>(buffer.size()) - got, &n,
                  nullptr)) {
      return last_error();
    }
    if (n == 0) break;
    got += n;
  }
  return got == buffer.size();
}

// Whether both files hold the same bytes, read to the end.
Result<bool> same_bytes(HANDLE a, HANDLE b) {
  LARGE_INTEGER size_a, size_b;
  if (!GetFileSizeEx(a, &size_a) || !GetFileSizeEx(b, &size_b)) return last_error();
  if (size_a.QuadPart != size_b.QuadPart) return false;
  std::vector<char> chunk_a(COMPARE_CHUNK), chunk_b(COMPARE_CHUNK);
  for (;;) {
    DWORD got_a = 0, got_b = 0;
    Result<bool> full_a = read_all(a, chunk_a, got_a);
    if (!full_a) return full_a.error();
    Result<bool> full_b = read_all(b, chunk_b, got_b);
    if (!full_b) return full_b.error();
    if (got_a != got_b || std::memcmp(chunk_a.data(), chunk_b.data(), got_a) != 0) return false;
    if (got_a < COMPARE_CHUNK) return true;
  }
}

Result<void> start_process(const std::wstring& path) {
  // The command line is only the quoted path; CreateProcessW may write into its buffer.
  const std::wstring quoted = L"\"" + path + L"\"";
  std::vector<wchar_t> command_line(quoted.begin(), quoted.end());
  command_line.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started)) {
    return last_error();
  }
  // The child runs on its own; neither its exit code nor its thread is of interest.
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  return success();
}

}  // namespace

Result<void> start_verified_setup_executable(const std::wstring& path,
                                             const std::wstring& verified_download) {
  Result<UniqueHandle> setup = open_held(path);
  if (!setup) return setup.error();
  Result<UniqueHandle> download = open_held(verified_download);
  if (!download) {
    // A download held by a scanner is waited for like the setup executable; a missing one leaves
    // nothing to vouch for the file that is there.
    return is_busy(download.error()) ? download.error() : not_verified();
  }
  Result<bool> same = same_bytes(setup->get(), download->get());
  if (!same) return same.error();
  if (!*same) return not_verified();
  return start_process(path);
}

bool is_not_verified(const Error& error) {
  return error.kind() == ErrorKind::InvalidData && error.message() == NOT_VERIFIED;
}

}  // namespace quorvel
