// Error texts on Windows: the system's message table, with ntdll's table for NT status codes.
#include <windows.h>

#include <string>

#include "runtime/error.h"
#include "runtime/system_calls.h"
#include "runtime/utf.h"

namespace quorvel {
namespace {

// HRESULT_FROM_NT sets this bit, which no NT status has of its own.
constexpr uint32_t FACILITY_NT_BIT_VALUE = 0x10000000;
constexpr size_t MESSAGE_CAPACITY = 2048;

std::string os_error_text(int32_t code) {
  uint32_t lookup = static_cast<uint32_t>(code);
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  // NT status codes, raw (severity bits 11) or wrapped as an HRESULT, live in ntdll's table.
  if ((lookup & FACILITY_NT_BIT_VALUE) != 0 || (lookup & 0xC0000000u) == 0xC0000000u) {
    module = GetModuleHandleW(L"ntdll");
    if (module != nullptr) {
      lookup &= ~FACILITY_NT_BIT_VALUE;  // unwrapped whatever the severity
      flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
    }
  }
  wchar_t buffer[MESSAGE_CAPACITY];
  DWORD length = system_calls().format_message(flags, module, lookup, 0, buffer,
                                               static_cast<DWORD>(MESSAGE_CAPACITY), nullptr);
  std::string code_text = std::to_string(code);
  if (length == 0) {
    auto lookup_error = static_cast<int32_t>(GetLastError());
    return "OS Error " + code_text + " (FormatMessageW() returned error " +
           std::to_string(lookup_error) + ")";
  }
  std::wstring_view message(buffer, length);
  while (!message.empty() && is_unicode_whitespace(message.back())) message.remove_suffix(1);
  auto utf8 = utf16_to_utf8(message);
  if (!utf8) return "OS Error " + code_text + " (FormatMessageW() returned invalid UTF-16)";
  return *utf8 + " (os error " + code_text + ")";
}

}  // namespace

Error last_os_error() {
  return Error::os(static_cast<int32_t>(GetLastError()));
}

std::string error_text(const Error& error) {
  if (error.is_os()) return os_error_text(error.code());
  if (error.message().empty()) return error_kind_text(error.kind());
  return error.message();
}

}  // namespace quorvel
