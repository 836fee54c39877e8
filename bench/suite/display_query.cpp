// How long the program's display query takes on its own: find_primary_output (a DXGI factory, its
// first adapter and that adapter's first output), timed in-process. Under Wine the factory brings
// up wined3d's OpenGL adapter, which is most of the program's start-up beyond the window baseline.
//
//   display_query      prints "find_primary_output <ms> ms"
#include <windows.h>

#include <cstdio>

#include "main/display.h"
#include "runtime/error.h"

int main() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  auto output = quorvel::find_primary_output();
  QueryPerformanceCounter(&end);
  if (!output) {
    std::printf("find_primary_output failed: %s\n", quorvel::error_text(output.error()).c_str());
    return 1;
  }
  std::printf("find_primary_output %.1f ms\n", static_cast<double>(end.QuadPart - start.QuadPart) *
                                                   1000.0 /
                                                   static_cast<double>(frequency.QuadPart));
  return 0;
}
