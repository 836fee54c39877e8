// Where the program's files live. Every function builds its answer afresh from the environment,
// except the choice of the call that reads the temporary folder, which is made once.
// The roots and locations are Windows-only; join_path and app_data_root_from are portable.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace quorvel {

// Appends one component with a single backslash, unless the base is empty or already ends with a
// backslash or a forward slash.
std::wstring join_path(std::wstring_view base, std::wstring_view component);

// The application-data root for a LOCALAPPDATA value (absent when unset or not valid Unicode).
std::wstring app_data_root_from(const std::optional<std::wstring>& local_app_data);

constexpr std::wstring_view APP_DATA_FALLBACK = L"C:\\Users\\admin\\AppData\\Local";

#ifdef _WIN32
// The user's temporary directory, ending with a backslash; the system's error when it cannot say,
// so that no file ever lands in the current directory instead.
Result<std::wstring> temp_root();
std::wstring app_data_root();  // LOCALAPPDATA, or APP_DATA_FALLBACK; never fails

Result<std::wstring> download_file_path();     // temp root + "QuorvelLauncher.bin"
Result<std::wstring> entity_tag_file_path();   // temp root + "QuorvelLauncher.bin.etag"
Result<std::wstring> setup_executable_path();  // temp root + "QuorvelLauncher.exe"
std::wstring game_directory_path();            // app-data root + "Brisko" + "Quorvel-Survival Game"
std::wstring dead_marker_path();               // game directory + ".dead"
std::wstring compat_marker_path();             // game directory + "force_compat_mode.txt"
std::wstring updater_log_path();   // game directory + "Updater.log" (kept by the cleanup)
std::wstring launcher_log_path();  // game directory + "Launcher.log" (kept by the cleanup)

// Which call temp_root() uses: true for GetTempPath2W. Decided at the first query and kept; a
// test's stand-in for kernel32's exports (the system-call table's get_proc_address) makes the next
// query decide again.
bool temp_root_uses_get_temp_path2();
#endif

}  // namespace quorvel
