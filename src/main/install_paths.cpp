#include "main/install_paths.h"

#include "runtime/paths.h"

namespace quorvel {

Result<std::wstring> setup_executable_path() {
  return temp_file_path(L"QuorvelLauncher.exe");
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

}  // namespace quorvel
