#include "main/console_output.h"

#include <cstdio>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace quorvel {
namespace {

std::mutex sink_mutex;
OutputSink current_sink;

FILE* stream_file(OutputStream stream) {
  return stream == OutputStream::Out ? stdout : stderr;
}

void use_binary_streams() {
#ifdef _WIN32
  // A line ends with a bare line feed, as on every other platform.
  static std::once_flag once;
  std::call_once(once, [] {
    for (FILE* file : {stdout, stderr}) {
      // A GUI program may have no stream at all (negative descriptor).
      if (int fd = _fileno(file); fd >= 0) _setmode(fd, _O_BINARY);
    }
  });
#endif
}

}  // namespace

void print_line(OutputStream stream, std::string_view text) {
  {
    std::lock_guard lock(sink_mutex);
    if (current_sink) {
      current_sink(stream, text);
      return;
    }
  }
  use_binary_streams();
  std::string line(text);
  line += '\n';
  // A GUI program usually has no streams attached; a failed write is of no consequence.
  FILE* file = stream_file(stream);
  std::fwrite(line.data(), 1, line.size(), file);
  if (stream == OutputStream::Err) std::fflush(file);
}

void set_output_sink(OutputSink sink) {
  std::lock_guard lock(sink_mutex);
  current_sink = std::move(sink);
}

}  // namespace quorvel
