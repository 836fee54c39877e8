// How the program ends when it cannot go on: one line on standard error, which the support log
// copies like any other, then an abnormal end.
#pragma once

namespace quorvel {

// Prints the message as an error line and aborts.
[[noreturn]] void fatal(const char* message);

// Makes an exception that nothing caught, on any thread, end the program through fatal with its
// message, rather than through the C++ runtime's own text, which bypasses the log.
void report_uncaught_exceptions();

}  // namespace quorvel
