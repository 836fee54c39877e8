// Diagnostic lines of the install step and the launch: UTF-8 text plus a line feed, progress and
// success lines on standard output, failures on standard error.
#pragma once

#include <functional>
#include <string_view>

namespace quorvel {

enum class OutputStream { Out, Err };

void print_line(OutputStream stream, std::string_view text);

// While a sink is set, lines go to it (without their line feed) instead of the process's streams.
// For tests; an empty sink restores the streams.
using OutputSink = std::function<void(OutputStream stream, std::string_view text)>;
void set_output_sink(OutputSink sink);

}  // namespace quorvel
