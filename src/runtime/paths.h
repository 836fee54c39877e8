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

Result<std::wstring> temp_file_path(std::wstring_view name);  // temp root + name
Result<std::wstring> support_log_path();      // temp root + LOG_FILE_NAME (runtime/support_log.h)
Result<std::wstring> old_support_log_path();  // temp root + OLD_LOG_FILE_NAME

// Which call temp_root() uses: true for GetTempPath2W. Decided at the first query and kept; a
// test's stand-in for kernel32's exports (the system-call table's get_proc_address) makes the next
// query decide again.
bool temp_root_uses_get_temp_path2();
#endif

}  // namespace quorvel
