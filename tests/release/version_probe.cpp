// Prints a file's version resource as Windows reads it (GetFileVersionInfoW, VerQueryValueW): the
// fixed file and product versions, the file type, then each string of the first translation, one
// "name=value" line each, in UTF-8. Usage: version_probe FILE
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
  if (size == 0) {
    std::printf("no version resource (error %lu)\n", GetLastError());
    return 1;
  }
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(argv[1], 0, size, data.data())) return 1;

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) return 1;
  std::printf("fixed file version=%u.%u.%u.%u\n", unsigned(HIWORD(fixed->dwFileVersionMS)),
              unsigned(LOWORD(fixed->dwFileVersionMS)), unsigned(HIWORD(fixed->dwFileVersionLS)),
              unsigned(LOWORD(fixed->dwFileVersionLS)));
  std::printf("fixed product version=%u.%u.%u.%u\n", unsigned(HIWORD(fixed->dwProductVersionMS)),
              unsigned(LOWORD(fixed->dwProductVersionMS)),
              unsigned(HIWORD(fixed->dwProductVersionLS)),
              unsigned(LOWORD(fixed->dwProductVersionLS)));
  std::printf("file type=%lu\n", fixed->dwFileType);

  struct Translation {
    WORD language;
    WORD code_page;
  }* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation)) {
    std::printf("no translation\n");
    return 1;
  }
  std::printf("translation=%04x %u\n", translation->language, translation->code_page);
  for (const wchar_t* name :
       {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
        L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
    wchar_t query[96];
    swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->code_page, name);
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s=%s\n", utf8(name).c_str(), utf8(value).c_str());
    } else {
      std::printf("%s missing\n", utf8(name).c_str());
    }
  }
  return 0;
}
