// Diagnostics for failed Windows calls: one line to the debugger output, then the caller goes on.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "uipriv_windows.hpp"

namespace {

uiprivDiagnosticSink diagnostic_sink = nullptr;

// The source path relative to the repository ("libui/windows/area.cpp"), whatever the build's
// source directory was.
const char* short_file(const char* file) {
  const char* found = nullptr;
  for (const char* p = file; (p = strstr(p, "libui")) != nullptr; ++p) {
    if (p[5] == '/' || p[5] == '\\') found = p;
  }
  return found != nullptr ? found : file;
}

void emit(const wchar_t* line) {
  wchar_t buffer[1100];
  _snwprintf(buffer, 1099, L"%ls\n", line);
  buffer[1099] = L'\0';
  OutputDebugStringW(buffer);
  if (diagnostic_sink != nullptr) diagnostic_sink(line);
}

void emit_narrow(const char* prefix_text, const wchar_t* system_text) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"%hs%ls", prefix_text, system_text);
  line[1023] = L'\0';
  emit(line);
}

}  // namespace

void uiprivFormat(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = _vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) buffer[size - 1] = '\0';
}

uiprivDiagnosticSink uiprivSetDiagnosticSink(uiprivDiagnosticSink sink) {
  uiprivDiagnosticSink previous = diagnostic_sink;
  diagnostic_sink = sink;
  return previous;
}

void uiprivSystemMessage(DWORD code, wchar_t* buffer, size_t count) {
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, static_cast<DWORD>(count), nullptr);
  if (n == 0) {
    _snwprintf(buffer, count - 1, L"(no message for this code)");
    buffer[count - 1] = L'\0';
    return;
  }
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ' ||
                   buffer[n - 1] == L'\t'))
    buffer[--n] = L'\0';
}

void uiprivLogLastError(const char* file, const char* line, const char* func, const char* msg,
                        DWORD code) {
  wchar_t system_text[512];
  uiprivSystemMessage(code, system_text, 512);
  char prefix[512];
  uiprivFormat(prefix, sizeof(prefix), "[libui] %s:%s:%s() %s: GetLastError() == %lu ",
               short_file(file), line, func, msg, static_cast<unsigned long>(code));
  emit_narrow(prefix, system_text);
}

void uiprivLogHRESULT(const char* file, const char* line, const char* func, const char* msg,
                      HRESULT hr) {
  wchar_t system_text[512];
  uiprivSystemMessage(static_cast<DWORD>(hr), system_text, 512);
  char prefix[512];
  uiprivFormat(prefix, sizeof(prefix), "[libui] %s:%s:%s() %s: HRESULT == 0x%08lX ",
               short_file(file), line, func, msg,
               static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  emit_narrow(prefix, system_text);
}

void uiprivLogLine(const char* text) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"[libui] %hs", text);
  line[1023] = L'\0';
  emit(line);
}
