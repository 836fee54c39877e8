#include "main/launch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "runtime/error.h"
#include "scratch_directory.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// Replaces the process's standard output with an inheritable file for the life of the object.
class RedirectedOutput {
 public:
  explicit RedirectedOutput(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    previous_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
  }
  ~RedirectedOutput() {
    SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    CloseHandle(file_);
  }
  bool valid() const { return file_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE file_;
  HANDLE previous_;
};

std::wstring current_directory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length);
}

TEST(LaunchTest, StartsTheProgramWithItsQuotedPathAsTheWholeCommandLine) {
  ScratchDirectory scratch;
  const std::wstring folder = scratch / L"with space";
  ASSERT_TRUE(make_directory(folder));
  const std::wstring program = folder + L"\\QuorvelLauncher.exe";
  const std::wstring download = folder + L"\\QuorvelLauncher.bin";
  ASSERT_TRUE(CopyFileW(fake_setup_path().c_str(), program.c_str(), TRUE));
  ASSERT_TRUE(CopyFileW(fake_setup_path().c_str(), download.c_str(), TRUE));
  const std::wstring marker = scratch / L"ran.txt";
  ASSERT_TRUE(SetEnvironmentVariableW(L"QUORVEL_FAKE_SETUP_MARKER", marker.c_str()));
  const std::wstring child_output = scratch / L"child-stdout.txt";

  Result<void> started = Error::other("not run");
  {
    RedirectedOutput redirect(child_output);
    ASSERT_TRUE(redirect.valid());
    started = start_verified_setup_executable(program, download);
  }
  ASSERT_TRUE(started.ok()) << error_text(started.error());

  // The marker shows the command line, and the current directory and environment were inherited
  // (the marker's path itself came from the environment).
  std::optional<std::string> ran = wait_for_file(marker, 10s);
  ASSERT_TRUE(ran.has_value());
  EXPECT_EQ(*ran, "\"" + utf8(program) + "\"\n" + utf8(current_directory()) + "\n");

  // The child wrote to the standard output it was handed.
  std::optional<std::string> written;
  for (int i = 0; i < 250; ++i) {
    written = read_file(child_output);
    if (written && !written->empty()) break;
    Sleep(20);
  }
  EXPECT_EQ(written, "fake setup ran\n");
}

TEST(LaunchTest, NothingButTheVerifiedDownloadIsStarted) {
  ScratchDirectory scratch;
  const std::wstring program = scratch / L"QuorvelLauncher.exe";
  const std::wstring download = scratch / L"QuorvelLauncher.bin";
  const std::string real = read_file(fake_setup_path()).value();
  // What is at the path and in the download; nullopt: the refusal as not the verified download.
  const std::vector<std::tuple<std::optional<std::string>, std::string, std::optional<DWORD>>>
      cases = {{std::nullopt, real, ERROR_FILE_NOT_FOUND},
               {"not a program", "not a program", ERROR_BAD_EXE_FORMAT},
               {real, "a newer launcher", std::nullopt}};
  for (const auto& [setup, verified, error] : cases) {
    DeleteFileW(program.c_str());
    if (setup) {
      ASSERT_TRUE(write_file(program, *setup));
    }
    ASSERT_TRUE(write_file(download, verified));
    Result<void> started = start_verified_setup_executable(program, download);
    ASSERT_FALSE(started.ok());
    EXPECT_TRUE(error ? started.error() == Error::os(static_cast<int32_t>(*error))
                      : is_not_verified(started.error()))
        << error_text(started.error());
  }
}

}  // namespace
}  // namespace quorvel::testing
