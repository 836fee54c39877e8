// Starts the setup executable as an independent process and does not wait for it; only the
// verified download is ever started.
#pragma once

#include <string>

#include "runtime/error.h"

namespace quorvel {

// Starts the file at `path` only when it holds exactly the bytes of `verified_download`. Both are
// held open against writers while they are compared, and the setup executable stays held (against
// writers and deleters) until the process has started from it, so no other file can take its
// place in between. The child gets no arguments, this process's environment, current directory
// and standard handles. A file that is not the download fails with an error that
// is_not_verified() recognises.
Result<void> start_verified_setup_executable(const std::wstring& path,
                                             const std::wstring& verified_download);

bool is_not_verified(const Error& error);

}  // namespace quorvel
