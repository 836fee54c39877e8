#include "runtime/support_log.h"

#include <tuple>

#include "runtime/decimal.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

void append_text(std::string& out, std::string_view text) {
  while (!text.empty()) {
    if (text[0] == '\n') {
      out += "\\n";
      text.remove_prefix(1);
    } else if (text[0] == '\r') {
      out += "\\r";
      text.remove_prefix(1);
    } else if (size_t n = utf8_sequence_length(text); n != 0) {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      text.remove_prefix(1);
    }
  }
}

}  // namespace

std::string log_line(const LocalTime& t, std::string_view tag, std::string_view text) {
  std::string line;
  line.reserve(29 + text.size());
  for (auto [value, width, after] : {std::tuple{t.year, 4, '-'},
                                     {t.month, 2, '-'},
                                     {t.day, 2, ' '},
                                     {t.hour, 2, ':'},
                                     {t.minute, 2, ':'},
                                     {t.second, 2, '.'},
                                     {t.millisecond, 3, ' '}}) {
    append_decimal(line, static_cast<unsigned>(value), static_cast<size_t>(width));
    line.push_back(after);
  }
  line.append(tag);
  line.push_back(' ');
  append_text(line, text);
  line.push_back('\n');
  return line;
}

std::string log_header(std::string_view version, std::string_view url, std::string_view system) {
  std::string header = "QuorvelSetup ";
  header.append(version).append(", ").append(url).append(", ").append(system);
  return header;
}

namespace {

constexpr std::string_view HEADER_TAG = "run";

// One run's log: lines go into the current file until one would take it past the limit; the file
// is then set aside and a new one starts with the header, so every file names what wrote it. A
// file that cannot be set aside ends the log.
class SupportLog {
 public:
  SupportLog(std::shared_ptr<SupportLogFile> file, std::string_view header, uint64_t limit)
      : file_(std::move(file)), header_(header), limit_(limit) {}

  void write(std::string_view tag, std::string_view text) {
    if (off_) return;
    const LocalTime now = file_->now();
    const std::string line = log_line(now, tag, text);
    const uint64_t size = file_->size();
    if (size != 0 && size + line.size() > limit_) {
      if (!file_->set_aside()) {
        off_ = true;
        return;
      }
      if (tag != HEADER_TAG) file_->append(log_line(now, HEADER_TAG, header_));
    }
    file_->append(line);
  }

  void write_header() { write(HEADER_TAG, header_); }

 private:
  std::shared_ptr<SupportLogFile> file_;
  std::string header_;
  uint64_t limit_;
  bool off_ = false;  // written under the output lock only
};

}  // namespace

#ifndef QUORVEL_SUPPORT_LOG_LIMIT
#define QUORVEL_SUPPORT_LOG_LIMIT 1048576
#endif
const uint64_t SUPPORT_LOG_LIMIT = QUORVEL_SUPPORT_LOG_LIMIT;

void start_support_log(std::shared_ptr<SupportLogFile> file, std::string_view header,
                       uint64_t limit) {
  if (!file) {
    set_output_log({});
    return;
  }
  auto log = std::make_shared<SupportLog>(std::move(file), header, limit);
  log->write_header();  // nothing else has this log yet
  set_output_log([log](OutputStream stream, std::string_view line) {
    log->write(stream == OutputStream::Out ? "out" : "err", line);
  });
}

}  // namespace quorvel
