// The program's one registry of replaceable system calls. Where a function's signature is fixed
// (its callers cannot hand it an interface), the Win32 calls whose answers differ between Windows
// versions, and between Windows and Wine, go through this table, so that tests reach the branches
// only some systems take. Every call of these functions in the modules that handle such answers
// goes through it: the temporary folder (GetTempPath2W looked up), the TLS credentials
// (RtlGetVersion looked up), error texts, file opening in the download, file deletion.
// The program never changes the table; tests replace an entry only with test::SystemCallSwap
// (tests/support/system_call_swap.h), which puts the original back when its scope ends.
// Code that can take its system as a parameter does so instead (connect_tcp's Resolver, the
// download job's Connector).
#pragma once

#include <windows.h>

namespace quorvel {

struct SystemCalls {
  decltype(&::CreateFileW) create_file = &::CreateFileW;
  decltype(&::FormatMessageW) format_message = &::FormatMessageW;
  // Exports looked up at run time (GetTempPath2W in kernel32).
  decltype(&::GetProcAddress) get_proc_address = &::GetProcAddress;
  decltype(&::DeleteFileW) delete_file = &::DeleteFileW;
  decltype(&::SetFileInformationByHandle) set_file_information = &::SetFileInformationByHandle;
};

inline SystemCalls& system_calls() {
  static SystemCalls calls;
  return calls;
}

}  // namespace quorvel
