#include "runtime/windows_version.h"

#include <windows.h>

#include "runtime/system_calls.h"

namespace quorvel {

std::optional<WindowsVersion> running_windows_version() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return std::nullopt;
  auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(system_calls().get_proc_address(ntdll, "RtlGetVersion")));
  if (!rtl_get_version) return std::nullopt;
  OSVERSIONINFOW info{};
  static_assert(sizeof(info) == 276);
  info.dwOSVersionInfoSize = sizeof(info);
  rtl_get_version(&info);
  return WindowsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}

}  // namespace quorvel
