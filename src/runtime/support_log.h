// The support log, "QuorvelSetup.log" in the user's temporary folder: a copy of every line the
// program prints, stamped with the local time and the stream it went to, small enough for a player
// to send in. Whoever prints (the runtime, the download, the install, the entry point) reaches it
// through print_line; the file itself is the platform's business (SupportLogFile).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/output.h"

namespace quorvel {

inline constexpr const wchar_t* LOG_FILE_NAME = L"QuorvelSetup.log";
inline constexpr const wchar_t* OLD_LOG_FILE_NAME = L"QuorvelSetup.log.old";

// The most one log file holds (1 MiB unless the build says otherwise): a line that would take it
// further first sets the file aside as the old log, replacing the older one, so the pair stays
// within about twice this however long the program runs.
extern const uint64_t SUPPORT_LOG_LIMIT;

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "2026-12-08 14:03:07.125 err text\n". The tag is "out" or "err" for a printed line and "run" for
// the header. The text stays on one line (CR and LF show as \r and \n) and stays UTF-8 (a byte
// that is not shows as U+FFFD).
std::string log_line(const LocalTime& time, std::string_view tag, std::string_view text);

// What the first line of a run says: "QuorvelSetup 1.0.0, https://..., Windows 10.0.19045".
std::string log_header(std::string_view version, std::string_view url, std::string_view system);

class SupportLogFile {
 public:
  virtual ~SupportLogFile() = default;
  virtual LocalTime now() = 0;
  // Bytes in the current file.
  virtual uint64_t size() = 0;
  // Best effort: a failed write is dropped, the run never hears of it.
  virtual void append(std::string_view bytes) = 0;
  // Renames the file to the old log's name (replacing that one) and goes on in a new, empty file.
  // False when that fails; the log then stops rather than grow past its limit.
  virtual bool set_aside() = 0;
};

// Appends the header line, then every line printed from now on, each right after it has gone to
// its stream. A null file turns the log off.
void start_support_log(std::shared_ptr<SupportLogFile> file, std::string_view header,
                       uint64_t limit = SUPPORT_LOG_LIMIT);

// The log file in the temporary folder, opened for appending and shared with any other reader,
// writer or deleter; null when the folder or the file cannot be reached (the run goes on without a
// log rather than write one into whatever the current directory happens to be).
std::shared_ptr<SupportLogFile> open_support_log_file();

}  // namespace quorvel
