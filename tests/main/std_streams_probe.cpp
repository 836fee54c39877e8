// A GUI-subsystem program that attaches the standard streams the way the entry point does and
// writes one UTF-8 line to each, so a test can read exactly what arrives.
#include <cstdio>
#include <cstring>

#include "main/std_streams.h"

int main() {
  quorvel::attach_std_streams();
  const char* out = "\xE4\xB8\x8B\xE8\xBD\xBD stdout line\n";
  const char* err = "\xE9\x94\x99\xE8\xAF\xAF stderr line\n";
  std::fwrite(out, 1, std::strlen(out), stdout);
  std::fputs(err, stderr);
  std::printf("percent %d%%\n", 42);
  return 0;
}
