// DLLs from the system directory only. The program is usually started from the user's downloads
// folder, where any file may lie under a system DLL's name, and the loader looks in the program's
// own folder first unless it is told otherwise.
#pragma once

#include <windows.h>

#include "runtime/error.h"

namespace quorvel {

// From now on every DLL loaded by name in this process, by the program or by system DLLs on its
// behalf, comes from the system directory. False where the system cannot do this (Windows 7
// without update KB2533623); DLLs the program loads itself still come by full path.
bool restrict_dll_search();

// The DLL of that name in the system directory, loaded by its full path, its own imports from the
// system directory too. Never freed: what it gives stays in use until the process ends.
Result<HMODULE> load_system_library(const wchar_t* name);

// One export of a loaded DLL, typed; null when it has none (GetLastError says why).
template <typename Function>
Function library_function(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The same into `function`; false when the DLL has no such export.
template <typename Function>
bool find_library_function(HMODULE module, const char* name, Function& function) {
  function = library_function<Function>(module, name);
  return function != nullptr;
}

}  // namespace quorvel
