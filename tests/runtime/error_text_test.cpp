#include "runtime/error.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <cwchar>

#include "support/system_call_swap.h"
#include "support/wine.h"
#endif

namespace quorvel {
namespace {

TEST(ErrorText, KindsPrintTheirMessageOrTheirDescription) {
  EXPECT_EQ(error_text(Error::kind(ErrorKind::InvalidInput, "Invalid URL format")),
            "Invalid URL format");
  EXPECT_EQ(error_text(Error::kind(ErrorKind::NotFound)), "entity not found");
  EXPECT_EQ(error_text(Error::other("could not connect to any of the addresses")),
            "could not connect to any of the addresses");
}

#ifdef _WIN32

std::string system_text(DWORD code) {
  wchar_t buffer[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, 512, nullptr);
  std::string out;
  for (DWORD i = 0; i < n; ++i) out += static_cast<char>(buffer[i]);  // ASCII texts
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

TEST(ErrorText, SystemCodesUseTheSystemMessage) {
  if (test::under_wine()) {
    // Wine's message table words these differently from Windows'.
    EXPECT_EQ(error_text(Error::os(2)), "File not found. (os error 2)");
    EXPECT_EQ(error_text(Error::os(5)), "Access denied. (os error 5)");
  } else {
    EXPECT_EQ(error_text(Error::os(2)), "The system cannot find the file specified. (os error 2)");
    EXPECT_EQ(error_text(Error::os(5)), "Access is denied. (os error 5)");
  }
  EXPECT_EQ(error_text(Error::os(10061)), system_text(10061) + " (os error 10061)");
}

TEST(ErrorText, UnknownCodesGetTheLookupFallback) {
  // No message exists for this code; the lookup's own error is named.
  std::string text = error_text(Error::os(0x2badc0de & 0x0fffffff));
  EXPECT_EQ(text, "OS Error 195936478 (FormatMessageW() returned error 317)");
}

TEST(ErrorText, NtStatusCodesComeFromNtdll) {
  // STATUS_OBJECT_NAME_NOT_FOUND, raw and wrapped as HRESULT_FROM_NT.
  int32_t raw = static_cast<int32_t>(0xC0000034);
  int32_t wrapped = static_cast<int32_t>(0xD0000034);
  if (test::under_wine()) {
    // Wine's ntdll carries no message table (ERROR_RESOURCE_TYPE_NOT_FOUND).
    EXPECT_EQ(error_text(Error::os(raw)),
              "OS Error -1073741772 (FormatMessageW() returned error 1813)");
    EXPECT_EQ(error_text(Error::os(wrapped)),
              "OS Error -805306316 (FormatMessageW() returned error 1813)");
  } else {
    EXPECT_EQ(error_text(Error::os(raw)), "Object Name not found. (os error -1073741772)");
    EXPECT_EQ(error_text(Error::os(wrapped)), "Object Name not found. (os error -805306316)");
  }
}

// FormatMessageW as Windows answers it: ntdll's table holds STATUS_OBJECT_NAME_NOT_FOUND (which
// Wine's lacks), the system's table ERROR_FILE_NOT_FOUND; code 1234 comes back as broken UTF-16.
DWORD WINAPI windows_format_message(DWORD flags, LPCVOID module, DWORD id, DWORD, LPWSTR buffer,
                                    DWORD size, va_list*) {
  const wchar_t* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    if (module == GetModuleHandleW(L"ntdll") && id == 0xC0000034) text = L"Object Name not found.";
  } else if (id == 2) {
    text = L"The system cannot find the file specified.\r\n";
  } else if (id == 1234) {
    text = L"half of a pair: \xD800";
  }
  if (text == nullptr || std::wcslen(text) >= size) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::wcscpy(buffer, text);
  return static_cast<DWORD>(std::wcslen(text));
}

TEST(ErrorText, WindowsAnswersBecomeTheDocumentedTexts) {
  test::SystemCallSwap swap(&SystemCalls::format_message, &windows_format_message);
  EXPECT_EQ(error_text(Error::os(2)), "The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(error_text(Error::os(static_cast<int32_t>(0xC0000034))),
            "Object Name not found. (os error -1073741772)");
  // The same NT error wrapped as an HRESULT (HRESULT_FROM_NT): severity bits and wrap bit set.
  EXPECT_EQ(error_text(Error::os(static_cast<int32_t>(0xD0000034))),
            "Object Name not found. (os error -805306316)");
  EXPECT_EQ(error_text(Error::os(3)), "OS Error 3 (FormatMessageW() returned error 317)");
  EXPECT_EQ(error_text(Error::os(1234)),
            "OS Error 1234 (FormatMessageW() returned invalid UTF-16)");
}

#else

TEST(ErrorText, ErrnoCodesUseTheCLibraryText) {
  EXPECT_EQ(error_text(Error::os(2)), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(Error::os(13)), "Permission denied (os error 13)");
  EXPECT_EQ(error_text(Error::os(99999)), "Unknown error 99999 (os error 99999)");
}

#endif

}  // namespace
}  // namespace quorvel
