/* Stands in for a DLL that someone left beside the program under a system DLL's name. Loading it
   leaves "<its path>.loaded-by-<program>" behind, so a test can tell which process took it; it
   exports nothing, so a program that imported from it would not get far either. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[2 * MAX_PATH + 16];
  wchar_t program[MAX_PATH];
  const DWORD n = GetModuleFileNameW(self, marker, MAX_PATH);
  const DWORD m = GetModuleFileNameW(NULL, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || m == 0 || m >= MAX_PATH) return TRUE;
  const wchar_t* base = program;
  for (const wchar_t* p = program; *p; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  lstrcatW(marker, L".loaded-by-");
  lstrcatW(marker, base);
  HANDLE f = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  return TRUE;
}
