// The system calls whose answers differ between Windows versions, and between Windows and Wine,
// called through one table. The program never changes it; tests put their own function in place of
// one entry to take the branches that only some systems take, and put the original back.
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
