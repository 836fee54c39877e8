// The support log: a copy of every diagnostic line, stamped with the local time and the stream it
// went to, appended to a file a player can send in. The file itself is the platform's business
// (LogFile); what goes into it is decided here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "download/output.h"

namespace quorvel {

inline constexpr const char* LOG_FILE_NAME = "QuorvelSetup.log";
inline constexpr const char* OLD_LOG_FILE_NAME = "QuorvelSetup.log.old";

// A log that has grown past this size by the start of a run is set aside and a new one begins.
inline constexpr uint64_t LOG_ROTATION_SIZE = uint64_t{1} << 20;
inline bool log_needs_rotation(uint64_t size) {
  return size > LOG_ROTATION_SIZE;
}

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "2026-12-08 14:03:07.125 err text\n". The tag is "out" or "err" for a printed line and "run" for
// the header. The text stays on one line (CR and LF show as \r and \n) and stays UTF-8 (a byte
// that is not shows as U+FFFD).
std::string log_line(const LocalTime& time, std::string_view tag, std::string_view text);

// What the first line of a run says: "QuorvelSetup 1.0.0, https://..., Windows 10.0.19045".
std::string log_header(std::string_view version, std::string_view url, std::string_view system);

class LogFile {
 public:
  virtual ~LogFile() = default;
  virtual LocalTime now() = 0;
  // Best effort: a failed write is dropped, the run never hears of it.
  virtual void append(std::string_view bytes) = 0;
};

// Appends the header line, then every line printed from now on, each right after it has gone to
// its stream. A null file turns the log off.
void start_diagnostic_log(std::shared_ptr<LogFile> file, std::string_view header);

}  // namespace quorvel
