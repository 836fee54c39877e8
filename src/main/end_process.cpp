#include "main/end_process.h"

#include <windows.h>

#include <cstdio>

namespace quorvel {

void end_process(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  // Not reached: the call ends the calling thread with the rest.
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace quorvel
