#include "runtime/system_library.h"

#include <string>

namespace quorvel {

bool restrict_dll_search() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  auto set_default =
      library_function<SetDefaultDllDirectoriesFn>(kernel32, "SetDefaultDllDirectories");
  return set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
}

Result<HMODULE> load_system_library(const wchar_t* name) {
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return last_os_error();
  std::wstring path(directory, length);
  path += L'\\';
  path += name;
  // Its imports from the system directory too. Windows 7 without KB2533623 refuses that flag; its
  // older way looks beside the DLL first, which is the system directory as well.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return last_os_error();
  return module;
}

}  // namespace quorvel
