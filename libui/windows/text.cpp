// Text conversion between the API's UTF-8 and Windows' UTF-16.
#include "uipriv_windows.hpp"

wchar_t* uiprivToUTF16(const char* s) {
  if (s == nullptr) s = "";
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  if (n <= 0) {
    logLastError("error figuring out number of characters to convert to");
    auto* empty = static_cast<wchar_t*>(uiprivAlloc(sizeof(wchar_t), "wchar_t[]"));
    return empty;
  }
  auto* out =
      static_cast<wchar_t*>(uiprivAlloc(static_cast<size_t>(n) * sizeof(wchar_t), "wchar_t[]"));
  if (MultiByteToWideChar(CP_UTF8, 0, s, -1, out, n) != n) {
    logLastError("error converting from UTF-8 to UTF-16");
    out[0] = L'\0';
  }
  return out;
}
