#include <windows.h>

#include "runtime/env.h"
#include "runtime/utf.h"

namespace quorvel {

std::optional<std::string> read_env(const char* name) {
  std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD n =
        GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() != ERROR_SUCCESS) return std::nullopt;  // not set
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return utf16_to_utf8(value);
    }
    value.resize(n);
  }
}

}  // namespace quorvel
