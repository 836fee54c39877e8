// Where the program's diagnostic lines go: one line at a time to the process's standard output or
// standard error, as UTF-8, flushed per line, and then to the log if one is set. Tests put their
// own sink in place to see every line.
#pragma once

#include <functional>
#include <string_view>

namespace quorvel {

enum class OutputStream { Out, Err };

// Prints text and a line feed.
void print_line(OutputStream stream, std::string_view text);

// The line of a program about to end (fatal): an error line like print_line's, except that it
// never waits long for the lock. When this thread is already printing, or another thread keeps the
// lock past a second, the line goes straight to standard error and the sink and log miss it.
void print_last_line(std::string_view text);

// Replaces where lines go; an empty sink restores the process's streams. The sink gets each line
// without its line feed and is called with a lock held, one line at a time.
using OutputSink = std::function<void(OutputStream stream, std::string_view line)>;
void set_output_sink(OutputSink sink);

// Also hands every line, after it has gone to its stream (or the sink), to the log; an empty log
// turns this off. Called under the same lock, so the log sees the lines in the order printed.
void set_output_log(OutputSink log);

}  // namespace quorvel
