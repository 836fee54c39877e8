#include "net/clock_check.h"

#include <windows.h>

#include <tuple>

#include "runtime/decimal.h"
#include "runtime/system_calls.h"

namespace quorvel {
namespace {

constexpr int64_t UNITS_PER_SECOND = 10'000'000;
constexpr int64_t UNIX_EPOCH = 11'644'473'600LL * UNITS_PER_SECOND;  // 1970-01-01 in file time

}  // namespace

int64_t build_time() {
#ifdef QUORVEL_BUILD_TIME
  return QUORVEL_BUILD_TIME > 0 ? UNIX_EPOCH + QUORVEL_BUILD_TIME * UNITS_PER_SECOND : 0;
#else
  return 0;
#endif
}

int64_t clock_now() {
  FILETIME now;
  system_calls().get_system_time(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                              now.dwLowDateTime);
}

std::optional<std::string> wrong_clock_note(int64_t now, int64_t built) {
  if (built <= 0 || now >= built || now < 0) return std::nullopt;
  FILETIME file_time;
  file_time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(now));
  file_time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(now) >> 32);
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(&file_time, &t)) return std::nullopt;
  std::string reads;
  for (auto [value, width, after] : {std::tuple{t.wYear, 4, "-"},
                                     {t.wMonth, 2, "-"},
                                     {t.wDay, 2, " "},
                                     {t.wHour, 2, ":"},
                                     {t.wMinute, 2, ":"},
                                     {t.wSecond, 2, " UTC"}}) {
    append_decimal(reads, value, width);
    reads += after;
  }
  return std::string("系统时钟似乎不正确，当前为 ") + reads +
         " / the system clock looks wrong: it reads " + reads;
}

}  // namespace quorvel
