// Error texts on the native test build: the C library's text for an errno value.
#include <errno.h>
#include <string.h>

#include <string>

#include "runtime/error.h"

namespace quorvel {

Error last_os_error() {
  return Error::os(errno);
}

std::string error_text(const Error& error) {
  if (error.is_os()) {
    char buffer[256];
    const char* text = strerror_r(error.code(), buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error.code()) + ")";
  }
  if (error.message().empty()) return error_kind_text(error.kind());
  return error.message();
}

}  // namespace quorvel
