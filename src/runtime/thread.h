// Runtime threads: detached, with a 2 MiB stack, named for debuggers.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "runtime/error.h"

namespace quorvel::detail {

// Starts `body` on a new named thread that is never joined; the system's error when the thread
// cannot be made (tests make it fail through the system-call table's create_thread).
Result<void> spawn_thread(const std::string& name, std::function<void()> body);

// Sleeps at least `duration` (on Windows rounded up to whole milliseconds). Unlike the C++
// library's sleep on MinGW, which waits on an event (a wineserver call under Wine), this is a
// plain timed sleep.
void pause_thread(std::chrono::microseconds duration);

}  // namespace quorvel::detail
