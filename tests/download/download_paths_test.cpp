#include "download/download_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "runtime/paths.h"
#include "support/system_call_swap.h"
#endif

namespace quorvel {
namespace {

#ifdef _WIN32
class TempVariable {
 public:
  explicit TempVariable(const wchar_t* value) {
    wchar_t old[MAX_PATH + 1];
    const DWORD n = GetEnvironmentVariableW(L"TMP", old, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) saved_ = std::wstring(old, n);
    SetEnvironmentVariableW(L"TMP", value);
  }
  ~TempVariable() { SetEnvironmentVariableW(L"TMP", saved_.empty() ? nullptr : saved_.c_str()); }

 private:
  std::wstring saved_;
};

TEST(DownloadPaths, SideBySideInTheTemporaryFolder) {
  TempVariable tmp(L"C:\\quorvel-tmp\\\x4E2D\x6587");
  auto paths = download_paths();
  ASSERT_TRUE(paths.ok()) << error_text(paths.error());
  EXPECT_EQ(paths->file, "C:\\quorvel-tmp\\\xE4\xB8\xAD\xE6\x96\x87\\QuorvelLauncher.bin");
  EXPECT_EQ(paths->entity_tag,
            "C:\\quorvel-tmp\\\xE4\xB8\xAD\xE6\x96\x87\\QuorvelLauncher.bin.etag");
}

TEST(DownloadPaths, TemporaryFolderThatIsNotUnicodeIsAnError) {
  const wchar_t broken[] = {L'C', L':', L'\\', L't', 0xD800, L'x', 0};  // unpaired surrogate
  TempVariable tmp(broken);
  auto paths = download_paths();
  ASSERT_FALSE(paths.ok());
  EXPECT_EQ(error_text(paths.error()), "临时文件夹的路径不是有效的 Unicode 文本，无法保存下载文件");
}

TEST(DownloadPaths, TemporaryFolderThatCannotBeQueriedIsAnError) {
  // Never paths relative to the current directory.
  test::SystemCallSwap swap(&SystemCalls::get_proc_address,
                            &test::kernel32_with_failing_get_temp_path2);
  auto paths = download_paths();
  ASSERT_FALSE(paths.ok()) << paths->file;
  EXPECT_EQ(paths.error(), Error::os(ERROR_ACCESS_DENIED));
}
#else
TEST(DownloadPaths, SideBySideInTheTemporaryFolder) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/var/tmp/quorvel", 1);
  auto paths = download_paths();
  ASSERT_TRUE(paths.ok());
  EXPECT_EQ(paths->file, "/var/tmp/quorvel/QuorvelLauncher.bin");
  EXPECT_EQ(paths->entity_tag, "/var/tmp/quorvel/QuorvelLauncher.bin.etag");
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}
#endif

}  // namespace
}  // namespace quorvel
