// The program's file locations on Windows.
#include <windows.h>

#include "runtime/env.h"
#include "runtime/paths.h"
#include "runtime/utf.h"

namespace quorvel {
namespace {

using GetTempPathFn = DWORD(WINAPI*)(DWORD, LPWSTR);

struct TempPathCall {
  GetTempPathFn fn;
  bool is_get_temp_path2;
};

// GetTempPath2W (Windows 11, and 10 with recent updates) is preferred; older systems and Wine 8
// lack it. The choice is made once.
const TempPathCall& temp_path_call() {
  static const TempPathCall call = [] {
    auto fn = reinterpret_cast<GetTempPathFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "GetTempPath2W")));
    if (fn != nullptr) return TempPathCall{fn, true};
    return TempPathCall{&GetTempPathW, false};
  }();
  return call;
}

}  // namespace

bool temp_root_uses_get_temp_path2() {
  return temp_path_call().is_get_temp_path2;
}

std::wstring temp_root() {
  GetTempPathFn fn = temp_path_call().fn;
  std::wstring path(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD n = fn(static_cast<DWORD>(path.size()), path.data());
    if (n == 0) return std::wstring();  // every operation on the files then fails and says so
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

std::wstring download_file_path() {
  return join_path(temp_root(), L"QuorvelLauncher.bin");
}
std::wstring entity_tag_file_path() {
  return join_path(temp_root(), L"QuorvelLauncher.bin.etag");
}
std::wstring setup_executable_path() {
  return join_path(temp_root(), L"QuorvelLauncher.exe");
}
std::wstring game_directory_path() {
  return join_path(join_path(app_data_root(), L"Brisko"), L"Quorvel-Survival Game");
}
std::wstring dead_marker_path() {
  return join_path(game_directory_path(), L".dead");
}
std::wstring compat_marker_path() {
  return join_path(game_directory_path(), L"force_compat_mode.txt");
}
std::wstring updater_log_path() {
  return join_path(game_directory_path(), L"Updater.log");
}
std::wstring launcher_log_path() {
  return join_path(game_directory_path(), L"Launcher.log");
}

}  // namespace quorvel
