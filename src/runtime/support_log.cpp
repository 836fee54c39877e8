#include "runtime/support_log.h"

#include <algorithm>
#include <cstdio>

#include "runtime/utf.h"

namespace quorvel {

namespace {

// Length of the valid UTF-8 sequence at the start of bytes, or 0 when it does not start with one.
size_t utf8_sequence_length(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  length = std::min(length, bytes.size());
  // The strict conversion rejects stray continuation bytes, overlong forms and surrogates for us.
  return utf8_to_utf16(bytes.substr(0, length)) ? length : 0;
}

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
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  std::string line = stamp;
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

// One run's log: lines go into the current file until one would take it past the limit; the file
// is then set aside and the line starts a new one. A file that cannot be set aside ends the log.
class SupportLog {
 public:
  SupportLog(std::shared_ptr<SupportLogFile> file, uint64_t limit)
      : file_(std::move(file)), limit_(limit) {}

  void write(std::string_view tag, std::string_view text) {
    if (off_) return;
    const std::string line = log_line(file_->now(), tag, text);
    const uint64_t size = file_->size();
    if (size != 0 && size + line.size() > limit_ && !file_->set_aside()) {
      off_ = true;
      return;
    }
    file_->append(line);
  }

 private:
  std::shared_ptr<SupportLogFile> file_;
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
  auto log = std::make_shared<SupportLog>(std::move(file), limit);
  log->write("run", header);  // nothing else has this log yet
  set_output_log([log](OutputStream stream, std::string_view line) {
    log->write(stream == OutputStream::Out ? "out" : "err", line);
  });
}

}  // namespace quorvel
