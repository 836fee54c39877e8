// Starts the setup executable as an independent process and does not wait for it. Success and
// failure are reported only by the line printed.
#pragma once

#include <string>

namespace quorvel {

// The child gets no arguments, this process's environment, current directory and standard handles.
void start_setup_executable(const std::wstring& path);

}  // namespace quorvel
