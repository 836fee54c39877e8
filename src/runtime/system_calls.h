// The program's one registry of replaceable system calls. Where a function's signature is fixed
// (its callers cannot hand it an interface), the system calls whose answers differ between systems
// (Windows versions, Windows and Wine, a system short of memory) go through this table, so that
// tests reach the branches only some systems take. Every call of these functions in the modules
// that handle such answers goes through it: thread creation, the temporary folder (GetTempPath2W
// looked up), the Windows version (RtlGetVersion looked up), error texts, file opening in the
// download, file deletion, the clock of the certificate check. The program never changes the table;
// tests replace an entry only with test::SystemCallSwap (tests/support/system_call_swap.h), which
// puts the original back when its scope ends. Code that can take its system as a parameter does so
// instead (connect_tcp's Resolver, the download job's Connector).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace quorvel {

struct SystemCalls {
#ifdef _WIN32
  // Fails where the system is out of memory for another thread (read atomically: every thread
  // may start one).
  decltype(&::CreateThread) create_thread = &::CreateThread;
  decltype(&::CreateFileW) create_file = &::CreateFileW;
  decltype(&::FormatMessageW) format_message = &::FormatMessageW;
  // Exports looked up at run time (GetTempPath2W in kernel32, RtlGetVersion in ntdll).
  decltype(&::GetProcAddress) get_proc_address = &::GetProcAddress;
  decltype(&::DeleteFileW) delete_file = &::DeleteFileW;
  decltype(&::SetFileInformationByHandle) set_file_information = &::SetFileInformationByHandle;
  // The clock a failed certificate check is judged by (a player's may be years off).
  decltype(&::GetSystemTimeAsFileTime) get_system_time = &::GetSystemTimeAsFileTime;
#else
  using CreateThreadFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  CreateThreadFn create_thread = &::pthread_create;  // as above
#endif
};

inline SystemCalls& system_calls() {
  static SystemCalls calls;
  return calls;
}

}  // namespace quorvel
