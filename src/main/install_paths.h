// What the install step writes and reads outside the download: the setup executable beside the
// download file, and the game directory with its markers and the logs its cleanup keeps.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace quorvel {

Result<std::wstring> setup_executable_path();  // temp root + "QuorvelLauncher.exe"
std::wstring game_directory_path();            // app-data root + "Brisko" + "Quorvel-Survival Game"
std::wstring dead_marker_path();               // game directory + ".dead"
std::wstring compat_marker_path();             // game directory + "force_compat_mode.txt"

// The files of the game directory its cleanup leaves, compared byte for byte ("launcher.log" is
// not one of them).
inline constexpr std::array<std::wstring_view, 2> KEPT_FILE_NAMES = {L"Updater.log",
                                                                     L"Launcher.log"};

}  // namespace quorvel
