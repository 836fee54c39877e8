#include "main/launch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "runtime/error.h"
#include "support/captured_lines.h"
#include "support/scratch_directory.h"

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<Line>;

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
  ASSERT_TRUE(CopyFileW(fake_setup_path().c_str(), program.c_str(), TRUE));
  const std::wstring marker = scratch / L"ran.txt";
  ASSERT_TRUE(SetEnvironmentVariableW(L"QUORVEL_FAKE_SETUP_MARKER", marker.c_str()));
  const std::wstring child_output = scratch / L"child-stdout.txt";

  test::CapturedLines capture;
  {
    RedirectedOutput redirect(child_output);
    ASSERT_TRUE(redirect.valid());
    start_setup_executable(program);
  }
  EXPECT_EQ(capture.lines(), (Lines{{OutputStream::Out, "Setup executable started successfully"}}));

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

TEST(LaunchTest, MissingProgramIsReported) {
  ScratchDirectory scratch;
  test::CapturedLines capture;
  start_setup_executable(scratch / L"QuorvelLauncher.exe");
  EXPECT_EQ(capture.lines(),
            (Lines{{OutputStream::Err, "Failed to start setup executable: " +
                                           error_text(Error::os(ERROR_FILE_NOT_FOUND))}}));
}

TEST(LaunchTest, ProgramThatIsNoExecutableIsReported) {
  ScratchDirectory scratch;
  const std::wstring program = scratch / L"QuorvelLauncher.exe";
  ASSERT_TRUE(write_file(program, "this is not a program"));
  test::CapturedLines capture;
  start_setup_executable(program);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].first, OutputStream::Err);
  EXPECT_EQ(capture.lines()[0].second,
            "Failed to start setup executable: " + error_text(Error::os(ERROR_BAD_EXE_FORMAT)));
}

}  // namespace
}  // namespace quorvel::test
