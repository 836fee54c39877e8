#include "runtime/output.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace quorvel {

namespace {

// Never destroyed, like the sinks: a thread that prints while the process ends finds them intact.
std::mutex& sink_mutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Set while this thread is inside print_line, where a failure (an allocation in a sink) may end
// the program through fatal.
thread_local bool printing = false;

OutputSink& current_sink() {
  static OutputSink* sink = new OutputSink;
  return *sink;
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
  printing = true;
  struct Done {
    ~Done() { printing = false; }
  } done;
  if (current_sink()) {
    current_sink()(stream, text);
  } else {
    write_to_process(stream, text);
  }
  if (current_log()) current_log()(stream, text);
}

void print_last_line(std::string_view text) {
  std::unique_lock lock(sink_mutex(), std::defer_lock);
  if (!printing) {
    // Another thread may hold the lock for ever (it failed inside a print too): wait a moment only.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!lock.owns_lock()) {
    // Straight to standard error, with nothing allocated: the sinks may be what failed.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    return;
  }
  printing = true;
  if (current_sink()) {
    current_sink()(OutputStream::Err, text);
  } else {
    write_to_process(OutputStream::Err, text);
  }
  if (current_log()) current_log()(OutputStream::Err, text);
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
