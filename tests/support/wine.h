// Whether the test runs under Wine, whose system texts and some behaviours differ from Windows'.
#pragma once

#include <windows.h>

namespace quorvel::test {

inline bool under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace quorvel::test
