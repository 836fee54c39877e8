// Deleting a file, read-only ones included. Windows-only.
#pragma once

#include <string>

#include "runtime/error.h"

namespace quorvel {

#ifdef _WIN32
// DeleteFileW; when that is refused with access denied, one more try through a handle opened for
// deletion only, marked with POSIX semantics and ignoring the read-only attribute. A missing file
// is an error. When the second try fails too, the error is the first one.
Result<void> delete_file(const std::wstring& path);
#endif

}  // namespace quorvel
