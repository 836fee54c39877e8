// Runtime threads: detached, with a 2 MiB stack, named for debuggers.
#pragma once

#include <functional>
#include <string>

namespace quorvel::detail {

// Starts `body` on a new named thread that is never joined. False when the thread cannot be made.
bool spawn_thread(const std::string& name, std::function<void()> body);

}  // namespace quorvel::detail
