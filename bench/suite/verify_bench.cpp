// Memory and time of the integrity check on one file: the working set just before verify_file_crc
// and the peak working set after it. Prints one line of figures.
//
//   verify_bench FILE EXPECTED_CRC
#include <windows.h>

#include <psapi.h>  // after windows.h, which it builds on

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/download_job.h"

namespace {

PROCESS_MEMORY_COUNTERS memory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: verify_bench FILE EXPECTED_CRC\n");
    return 2;
  }
  const uint64_t expected = std::strtoull(argv[2], nullptr, 10);
  const size_t before = memory().WorkingSetSize;
  const auto start = std::chrono::steady_clock::now();
  const bool verified = quorvel::verify_file_crc(argv[1], expected);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const size_t peak = memory().PeakWorkingSetSize;
  std::printf("verify %s seconds=%.3f working_set_before=%zu peak_working_set=%zu\n",
              verified ? "match" : "MISMATCH", seconds, before, peak);
  return verified ? 0 : 1;
}
