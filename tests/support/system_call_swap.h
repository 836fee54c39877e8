// Tests take the branches that only some systems take by standing in for one entry of the
// system-call table, always through SystemCallSwap: the stand-in lasts for the scope only, so a
// failing assertion cannot leave it in place for the rest of the test binary. The stand-ins that
// several tests share are here too, one copy each.
#pragma once

#include <atomic>
#include <string_view>

#include "runtime/system_calls.h"

namespace quorvel::test {

template <class Fn>
class SystemCallSwap {
 public:
  SystemCallSwap(Fn SystemCalls::*entry, Fn stand_in)
      : entry_(entry), saved_(system_calls().*entry) {
    set(stand_in);
  }
  SystemCallSwap(const SystemCallSwap&) = delete;
  SystemCallSwap& operator=(const SystemCallSwap&) = delete;
  ~SystemCallSwap() { set(saved_); }

 private:
  // Atomic, since runtime threads may read an entry (create_thread) while a test swaps it.
  void set(Fn fn) { std::atomic_ref(system_calls().*entry_).store(fn); }

  Fn SystemCalls::*entry_;
  Fn saved_;
};

#ifdef _WIN32
// kernel32 as on a system whose GetTempPath2W exists and fails with access denied: the program
// must then have no temporary folder rather than fall back to the current directory.
inline DWORD WINAPI failing_get_temp_path2(DWORD, LPWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}
inline FARPROC WINAPI kernel32_with_failing_get_temp_path2(HMODULE module, LPCSTR name) {
  if (std::string_view(name) == "GetTempPath2W") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&failing_get_temp_path2));
  }
  return GetProcAddress(module, name);
}
#endif

}  // namespace quorvel::test
