#include "download/diagnostic_log.h"

#include <algorithm>
#include <cstdio>

#include "download/utf8.h"

namespace quorvel {

namespace {

// Length of the valid UTF-8 sequence at the start of bytes, or 0 when it does not start with one.
size_t utf8_sequence_length(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  length = std::min(length, bytes.size());
  // is_valid_utf8 rejects stray continuation bytes, overlong forms and surrogates for us.
  return is_valid_utf8(bytes.substr(0, length)) ? length : 0;
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

void start_diagnostic_log(std::shared_ptr<LogFile> file, std::string_view header) {
  if (!file) {
    set_output_log({});
    return;
  }
  file->append(log_line(file->now(), "run", header));
  set_output_log([file = std::move(file)](OutputStream stream, std::string_view line) {
    file->append(log_line(file->now(), stream == OutputStream::Out ? "out" : "err", line));
  });
}

}  // namespace quorvel
