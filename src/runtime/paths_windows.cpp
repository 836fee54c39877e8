// The program's file locations on Windows.
#include <windows.h>

#include <atomic>

#include "runtime/env.h"
#include "runtime/paths.h"
#include "runtime/support_log.h"
#include "runtime/system_calls.h"
#include "runtime/utf.h"

namespace quorvel {
namespace {

using GetTempPathFn = DWORD(WINAPI*)(DWORD, LPWSTR);
using GetProcAddressFn = decltype(&::GetProcAddress);

std::atomic<GetTempPathFn> chosen{nullptr};
// The lookup the choice came from: a test's stand-in for kernel32's exports makes it choose again.
std::atomic<GetProcAddressFn> chosen_by{nullptr};

// GetTempPath2W (Windows 11, and 10 with recent updates) is preferred; older systems and Wine 8
// lack it. The choice is made at the first query; threads that race to it choose alike.
GetTempPathFn temp_path_function() {
  const GetProcAddressFn lookup = system_calls().get_proc_address;
  GetTempPathFn fn = chosen.load();
  if (fn != nullptr && chosen_by.load() == lookup) return fn;
  fn = reinterpret_cast<GetTempPathFn>(
      reinterpret_cast<void*>(lookup(GetModuleHandleW(L"kernel32"), "GetTempPath2W")));
  if (fn == nullptr) fn = &GetTempPathW;
  chosen_by.store(lookup);
  chosen.store(fn);
  return fn;
}

}  // namespace

bool temp_root_uses_get_temp_path2() {
  return temp_path_function() != &GetTempPathW;
}

Result<std::wstring> temp_root() {
  GetTempPathFn fn = temp_path_function();
  std::wstring path(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD n = fn(static_cast<DWORD>(path.size()), path.data());
    if (n == 0) {
      const DWORD error = GetLastError();
      return Error::os(static_cast<int32_t>(error != 0 ? error : ERROR_PATH_NOT_FOUND));
    }
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
}

std::wstring app_data_root() {
  std::optional<std::wstring> value;
  if (auto utf8 = read_env("LOCALAPPDATA")) value = utf8_to_utf16(*utf8);
  return app_data_root_from(value);
}

Result<std::wstring> temp_file_path(std::wstring_view name) {
  auto root = temp_root();
  if (!root) return root;
  return join_path(*root, name);
}
Result<std::wstring> support_log_path() {
  return temp_file_path(LOG_FILE_NAME);
}
Result<std::wstring> old_support_log_path() {
  return temp_file_path(OLD_LOG_FILE_NAME);
}

}  // namespace quorvel
