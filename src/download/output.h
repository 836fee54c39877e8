// Where the download's diagnostic lines go: one line at a time to the process's standard output or
// standard error, as UTF-8, flushed per line. Tests put their own sink in place to see every line.
#pragma once

#include <functional>
#include <string_view>

namespace quorvel {

enum class OutputStream { Out, Err };

// Prints text and a line feed.
void print_line(OutputStream stream, std::string_view text);

// Replaces where lines go; an empty sink restores the process's streams. The sink gets each line
// without its line feed and is called with a lock held, one line at a time.
using OutputSink = std::function<void(OutputStream stream, std::string_view line)>;
void set_output_sink(OutputSink sink);

}  // namespace quorvel
