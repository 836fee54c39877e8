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

// What is at the setup executable's path, against the verified download; nothing of these starts.
struct RefusalCase {
  const char* name;
  std::optional<std::string> setup;     // nullopt: nothing there
  std::optional<std::string> download;  // nullopt: nothing there
  DWORD held_sharing;                   // a writer's hold on the setup executable; ~0: none
  std::optional<DWORD> error;           // nullopt: refused as not the verified download
};

class LaunchRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LaunchRefusal, NothingButTheVerifiedDownloadIsStarted) {
  const RefusalCase& c = GetParam();
  ScratchDirectory scratch;
  const std::wstring program = scratch / L"QuorvelLauncher.exe";
  const std::wstring download = scratch / L"QuorvelLauncher.bin";
  std::optional<std::string> real = read_file(fake_setup_path());
  ASSERT_TRUE(real.has_value());
  auto bytes = [&](const std::string& text) { return text == "program" ? *real : text; };
  if (c.setup) {
    ASSERT_TRUE(write_file(program, bytes(*c.setup)));
  }
  if (c.download) {
    ASSERT_TRUE(write_file(download, bytes(*c.download)));
  }
  HANDLE held = INVALID_HANDLE_VALUE;
  if (c.held_sharing != ~DWORD{0}) {
    held = CreateFileW(program.c_str(), GENERIC_WRITE, c.held_sharing, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  }
  const std::wstring marker = scratch / L"ran.txt";
  ASSERT_TRUE(SetEnvironmentVariableW(L"QUORVEL_FAKE_SETUP_MARKER", marker.c_str()));
  Result<void> started = start_verified_setup_executable(program, download);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  ASSERT_FALSE(started.ok());
  if (c.error) {
    EXPECT_EQ(started.error(), Error::os(static_cast<int32_t>(*c.error)));
  } else {
    EXPECT_TRUE(is_not_verified(started.error())) << error_text(started.error());
  }
  Sleep(200);
  EXPECT_FALSE(read_file(marker).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    LaunchTest, LaunchRefusal,
    ::testing::Values(
        RefusalCase{"Missing", std::nullopt, "program", ~DWORD{0}, ERROR_FILE_NOT_FOUND},
        RefusalCase{"NotAProgram", "this is not a program", "this is not a program", ~DWORD{0},
                    ERROR_BAD_EXE_FORMAT},
        RefusalCase{"AnOlderLauncher", "program", "a newer launcher", ~DWORD{0}, std::nullopt},
        RefusalCase{"NoDownloadToCompareWith", "program", std::nullopt, ~DWORD{0}, std::nullopt},
        // A writer may still change it: held open for writing by someone else, it is waited for.
        RefusalCase{"OpenForWriting", "program", "program", FILE_SHARE_READ | FILE_SHARE_WRITE,
                    ERROR_SHARING_VIOLATION}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quorvel::testing
