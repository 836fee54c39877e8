#include "runtime/output.h"

#include <cstdio>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace quorvel {

namespace {

std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}

OutputSink& current_sink() {
  static OutputSink sink;
  return sink;
}

// Never destroyed: runtime threads may still print while the process exits, and the log's file
// must outlive them.
OutputSink& current_log() {
  static OutputSink* log = new OutputSink;
  return *log;
}

// The bytes go out unchanged (no text-mode line-end conversion), so a pipe receives exact UTF-8.
void write_to_process(OutputStream stream, std::string_view text) {
#ifdef _WIN32
  static const bool binary = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
  }();
  (void)binary;
#endif
  std::FILE* file = stream == OutputStream::Out ? stdout : stderr;
  std::string line(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), file);
  std::fflush(file);
}

}  // namespace

void print_line(OutputStream stream, std::string_view text) {
  std::lock_guard lock(sink_mutex());
  if (current_sink()) {
    current_sink()(stream, text);
  } else {
    write_to_process(stream, text);
  }
  if (current_log()) current_log()(stream, text);
}

void set_output_sink(OutputSink sink) {
  std::lock_guard lock(sink_mutex());
  current_sink() = std::move(sink);
}

void set_output_log(OutputSink log) {
  std::lock_guard lock(sink_mutex());
  current_log() = std::move(log);
}

}  // namespace quorvel
