#include "runtime/paths.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

#include "support/system_call_swap.h"
#endif

namespace quorvel {
namespace {

TEST(Paths, JoinUsesOneBackslash) {
  EXPECT_EQ(join_path(L"C:\\Temp\\", L"QuorvelLauncher.bin"), L"C:\\Temp\\QuorvelLauncher.bin");
  EXPECT_EQ(join_path(L"C:\\Temp", L"QuorvelLauncher.bin"), L"C:\\Temp\\QuorvelLauncher.bin");
  EXPECT_EQ(join_path(L"C:/Temp/", L"x"), L"C:/Temp/x");
  EXPECT_EQ(join_path(L"", L"Brisko"), L"Brisko");
  std::wstring base = L"D:\\data";
  EXPECT_EQ(join_path(base, L"a"), L"D:\\data\\a");
  EXPECT_EQ(base, L"D:\\data");
}

TEST(Paths, AppDataRootFallsBackWhenAbsent) {
  EXPECT_EQ(app_data_root_from(std::nullopt), L"C:\\Users\\admin\\AppData\\Local");
  EXPECT_EQ(APP_DATA_FALLBACK.size(), 28u);
  EXPECT_EQ(app_data_root_from(L""), L"");
  EXPECT_EQ(app_data_root_from(L"E:\\Local\\"), L"E:\\Local\\");
}

#ifdef _WIN32

TEST(TempRoot, FilesLieSideBySideInTheTemporaryFolder) {
  std::wstring root = temp_root().value();
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root.back(), L'\\');
  EXPECT_EQ(temp_file_path(L"QuorvelSetup.log").value(), root + L"QuorvelSetup.log");
  EXPECT_EQ(support_log_path().value(), root + L"QuorvelSetup.log");
  EXPECT_EQ(old_support_log_path().value(), root + L"QuorvelSetup.log.old");
}

// GetTempPath2W as newer Windows (and Wine 10) has it: a folder longer than MAX_PATH, so the
// caller must ask again with a larger buffer, or a failure.
const std::wstring LONG_TEMP = L"C:\\" + std::wstring(300, L't') + L"\\";
DWORD get_temp_path2_error = 0;

DWORD WINAPI get_temp_path2(DWORD size, LPWSTR buffer) {
  if (get_temp_path2_error != 0) {
    SetLastError(get_temp_path2_error);
    return 0;
  }
  if (size <= LONG_TEMP.size()) return static_cast<DWORD>(LONG_TEMP.size() + 1);
  std::copy(LONG_TEMP.begin(), LONG_TEMP.end(), buffer);
  buffer[LONG_TEMP.size()] = 0;
  return static_cast<DWORD>(LONG_TEMP.size());
}

FARPROC WINAPI kernel32_with_get_temp_path2(HMODULE module, LPCSTR name) {
  if (module == GetModuleHandleW(L"kernel32") && std::string(name) == "GetTempPath2W") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&get_temp_path2));
  }
  return GetProcAddress(module, name);
}

TEST(TempRoot, GetTempPath2WIsUsedWhereKernel32HasItAndItsFailureIsAnError) {
  Result<std::wstring> failed = Error::other("not asked");
  {
    test::SystemCallSwap swap(&SystemCalls::get_proc_address, &kernel32_with_get_temp_path2);
    EXPECT_TRUE(temp_root_uses_get_temp_path2());
    EXPECT_EQ(temp_root().value(), LONG_TEMP);
    get_temp_path2_error = ERROR_ACCESS_DENIED;
    failed = temp_file_path(L"QuorvelLauncher.exe");
    get_temp_path2_error = 0;
  }
  ASSERT_FALSE(failed.ok()) << failed.value().size();
  EXPECT_EQ(failed.error(), Error::os(ERROR_ACCESS_DENIED));
  // Back to the real kernel32's answer: Windows 11 and Wine 10 export the call, Wine 8 does not.
  EXPECT_EQ(temp_root_uses_get_temp_path2(),
            GetProcAddress(GetModuleHandleW(L"kernel32"), "GetTempPath2W") != nullptr);
}

TEST(TempRoot, IsQueriedAfreshEachTime) {
  wchar_t saved[1024];
  DWORD n = GetEnvironmentVariableW(L"TMP", saved, 1024);
  wchar_t dir[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, dir);
  std::wstring other = std::wstring(dir) + L"\\other-temp";
  CreateDirectoryW(other.c_str(), nullptr);
  SetEnvironmentVariableW(L"TMP", other.c_str());
  std::wstring root = temp_root().value();
  if (n > 0) {
    SetEnvironmentVariableW(L"TMP", std::wstring(saved, n).c_str());
  } else {
    SetEnvironmentVariableW(L"TMP", nullptr);
  }
  RemoveDirectoryW(other.c_str());
  if (!temp_root_uses_get_temp_path2()) {
    EXPECT_EQ(root, other + L"\\");
  }
}

#endif

}  // namespace
}  // namespace quorvel
