#include "main/install_step.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/paths.h"
#include "scratch_directory.h"
#include "support/captured_lines.h"
#include "support/system_call_swap.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::wstring>;
using Lines = std::vector<Line>;

const std::string STARTED = "Setup executable started successfully";

Line err(std::string text) {
  return {OutputStream::Err, std::move(text)};
}
Line out(std::string text) {
  return {OutputStream::Out, std::move(text)};
}
std::string text_of(DWORD code) {
  return error_text(Error::os(static_cast<int32_t>(code)));
}

void set_variable(const wchar_t* name, const std::wstring& value) {
  ASSERT_TRUE(SetEnvironmentVariableW(name, value.c_str()));
}

// Each test gets its own temporary root and application-data root; the download file is the
// stand-in setup executable, so a successful install really starts a process.
class InstallStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(make_directory(temp_));
    set_variable(L"TMP", temp_ + L"\\");
    set_variable(L"TEMP", temp_ + L"\\");
    set_variable(L"LOCALAPPDATA", app_data_);
    set_variable(L"QUORVEL_FAKE_SETUP_MARKER", marker_);
    std::optional<std::string> program = read_file(fake_setup_path());
    ASSERT_TRUE(program.has_value()) << utf8(fake_setup_path());
    program_ = *program;
    ASSERT_EQ(download_file_path().value(), temp_ + L"\\QuorvelLauncher.bin");
  }

  void TearDown() override {
    // The child must be done with its files before the scratch directory goes.
    if (started_) wait_for_file(marker_, 10s);
  }

  void put_download() { ASSERT_TRUE(write_file(download_, program_)); }
  void make_game_directory() {
    ASSERT_TRUE(make_directory(app_data_));
    ASSERT_TRUE(make_directory(app_data_ + L"\\Brisko"));
    ASSERT_TRUE(make_directory(game_));
  }
  std::wstring in_game(std::wstring_view name) const { return game_ + L"\\" + std::wstring(name); }

  // The install's pauses: a clock that moves only by them, each one noted.
  Lines run() {
    test::CapturedLines capture;
    RetryWaits waits;
    waits.now_ms = [this] { return clock_ms_; };
    waits.pause = [this](int64_t milliseconds) {
      pauses_.push_back(milliseconds);
      clock_ms_ += milliseconds;
      return true;
    };
    EXPECT_TRUE(run_install_step(waits));
    const Lines lines = capture.lines();
    for (const Line& line : lines) {
      if (line == out(STARTED)) started_ = true;
    }
    return lines;
  }

  // The setup executable was started with its quoted path as the whole command line.
  void expect_setup_ran() {
    std::optional<std::string> marker = wait_for_file(marker_, 10s);
    ASSERT_TRUE(marker.has_value());
    const std::string first_line = marker->substr(0, marker->find('\n'));
    EXPECT_EQ(first_line, "\"" + utf8(setup_) + "\"");
  }

  ScratchDirectory scratch_;
  const std::wstring temp_ = scratch_ / L"temp";
  const std::wstring app_data_ = scratch_ / L"appdata";
  const std::wstring game_ = app_data_ + L"\\Brisko\\Quorvel-Survival Game";
  const std::wstring download_ = temp_ + L"\\QuorvelLauncher.bin";
  const std::wstring setup_ = temp_ + L"\\QuorvelLauncher.exe";
  const std::wstring marker_ = scratch_ / L"setup-ran.txt";
  std::string program_;
  bool started_ = false;
  int64_t clock_ms_ = 0;
  std::vector<int64_t> pauses_;
};

TEST_F(InstallStepTest, WithoutOldSetupExecutableTheCopyCreatesItAndStartsIt) {
  put_download();
  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(read_file(setup_), program_);
  EXPECT_EQ(read_file(download_), program_);
  expect_setup_ran();
}

TEST_F(InstallStepTest, OldSetupExecutableIsReplaced) {
  put_download();
  ASSERT_TRUE(write_file(setup_, "an older launcher"));
  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(read_file(setup_), program_);
  expect_setup_ran();
}

// The game directory before a successful step (no content: a folder) and after it.
struct GameDirectoryCase {
  const char* name;
  bool exists;
  std::vector<std::pair<std::wstring, std::optional<std::string>>> before;
  Names after;
  std::vector<std::pair<std::wstring, std::string>> contents;  // of the files after
};

class GameDirectoryTest : public InstallStepTest,
                          public ::testing::WithParamInterface<GameDirectoryCase> {};

TEST_P(GameDirectoryTest, IsPreparedAsItsMarkersSay) {
  const GameDirectoryCase& c = GetParam();
  put_download();
  if (c.exists) make_game_directory();
  for (const auto& [name, content] : c.before) {
    ASSERT_TRUE(content ? write_file(in_game(name), *content) : make_directory(in_game(name)));
  }
  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(list_names(game_), c.after);
  for (const auto& [name, content] : c.contents) {
    EXPECT_EQ(read_file(in_game(name)), content) << utf8(name);
  }
  expect_setup_ran();
}

const std::optional<std::string> FOLDER;

INSTANTIATE_TEST_SUITE_P(
    InstallStepTest, GameDirectoryTest,
    ::testing::Values(GameDirectoryCase{"MissingIsCreatedWithItsParentsAndNotCleaned",
                                        false,
                                        {},
                                        {L"force_compat_mode.txt"},
                                        {{L"force_compat_mode.txt", ""}}},
                      GameDirectoryCase{
                          "WithoutDeadMarkerIsLeftAlone",
                          true,
                          {{L"game.dat", "level data"},
                           {L"launcher.log", "lower case"},
                           {L"saves", FOLDER},
                           {L"saves\\slot1", "save"}},
                          {L"force_compat_mode.txt", L"game.dat", L"launcher.log", L"saves"},
                          {{L"game.dat", "level data"}, {L"saves\\slot1", "save"}}},
                      GameDirectoryCase{"DeadMarkerEmptiesItExceptTheKeptLogs",
                                        true,
                                        {{L".dead", "whatever"},
                                         {L"Updater.log", "updater history"},
                                         {L"Launcher.log", "launcher history"},
                                         {L"game.dat", "level data"},
                                         {L"saves", FOLDER},
                                         {L"saves\\slot1", "save"},
                                         {L"saves\\old", FOLDER},
                                         {L"saves\\old\\slot0", "older save"}},
                                        {L"Launcher.log", L"Updater.log", L"force_compat_mode.txt"},
                                        {{L"Updater.log", "updater history"},
                                         {L"Launcher.log", "launcher history"},
                                         {L"force_compat_mode.txt", ""}}},
                      GameDirectoryCase{"KeptNamesAreComparedExactly",
                                        true,
                                        {{L".dead", ""},
                                         {L"launcher.log", "x"},
                                         {L"UPDATER.LOG", "x"},
                                         {L"Launcher.log.1", "x"}},
                                        {L"force_compat_mode.txt"},
                                        {}},
                      GameDirectoryCase{"CompatibilityMarkerWithContentIsTruncated",
                                        true,
                                        {{L"force_compat_mode.txt", "left over"}},
                                        {L"force_compat_mode.txt"},
                                        {{L"force_compat_mode.txt", ""}}}),
    [](const ::testing::TestParamInfo<GameDirectoryCase>& info) { return info.param.name; });

TEST_F(InstallStepTest, FailedCopyStillPreparesTheDirectoryAndTriesTheStart) {
  // No download file at all.
  EXPECT_EQ(run(),
            (Lines{err("Failed to copy file: " + text_of(ERROR_FILE_NOT_FOUND)),
                   err("Failed to start setup executable: " + text_of(ERROR_FILE_NOT_FOUND))}));
  EXPECT_EQ(list_names(game_), Names{L"force_compat_mode.txt"});
  EXPECT_FALSE(read_file(setup_).has_value());
}

TEST_F(InstallStepTest, WithoutATemporaryFolderNothingIsCopiedOrStartedInTheCurrentDirectory) {
  put_download();
  wchar_t previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(temp_.c_str()));  // where relative names would land
  Lines lines;
  {
    test::SystemCallSwap swap(&SystemCalls::get_proc_address,
                              &test::kernel32_with_failing_get_temp_path2);
    lines = run();
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(lines,
            (Lines{err("Failed to copy file: " + text_of(ERROR_ACCESS_DENIED)),
                   err("Failed to start setup executable: " + text_of(ERROR_ACCESS_DENIED))}));
  EXPECT_FALSE(read_file(setup_).has_value());
  EXPECT_EQ(list_names(game_), Names{L"force_compat_mode.txt"});
}

TEST_F(InstallStepTest, OldSetupExecutableHeldForGoodIsWaitedForThirtySecondsThenReplaced) {
  put_download();
  ASSERT_TRUE(write_file(setup_, "an older launcher"));
  // Held without delete sharing, yet open for others to write: the copy can still replace it.
  HANDLE held = CreateFileW(setup_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Lines lines = run();
  CloseHandle(held);
  const std::string busy = text_of(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(lines, (Lines{err("Failed to delete existing file: " + busy),
                          err("删除旧的安装程序在 19 次尝试后放弃 / deleting the existing file "
                              "given up after 19 attempts: " +
                              busy),
                          out(STARTED)}));
  // Pauses growing from 0.25 s to 2 s, 30 s in all.
  std::vector<int64_t> expected = {250, 500, 1000};
  expected.insert(expected.end(), 14, 2000);
  expected.push_back(250);
  EXPECT_EQ(pauses_, expected);
  EXPECT_EQ(read_file(setup_), program_);
  expect_setup_ran();
}

TEST_F(InstallStepTest, UncreatableGameDirectoryIsReportedAndTheRestStillRuns) {
  put_download();
  // The application-data root is a file, so nothing can be created below it.
  ASSERT_TRUE(write_file(app_data_, "not a directory"));
  EXPECT_EQ(
      run(),
      (Lines{err("Failed to create install directory: " + text_of(ERROR_ALREADY_EXISTS)),
             err("Failed to create compatibility mode file: " + text_of(ERROR_PATH_NOT_FOUND)),
             out(STARTED)}));
  expect_setup_ran();
}

TEST_F(InstallStepTest, ReadOnlyFilesAreRemovedToo) {
  put_download();
  make_game_directory();
  ASSERT_TRUE(write_file(in_game(L".dead"), ""));
  ASSERT_TRUE(write_file(in_game(L"locked.cfg"), "x"));
  ASSERT_TRUE(SetFileAttributesW(in_game(L"locked.cfg").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(make_directory(in_game(L"data")));
  ASSERT_TRUE(write_file(in_game(L"data\\locked.pak"), "x"));
  ASSERT_TRUE(SetFileAttributesW(in_game(L"data\\locked.pak").c_str(), FILE_ATTRIBUTE_READONLY));

  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(list_names(game_), Names{L"force_compat_mode.txt"});
}

TEST_F(InstallStepTest, ReadOnlyOldSetupExecutableIsReplaced) {
  put_download();
  ASSERT_TRUE(write_file(setup_, "an older launcher"));
  ASSERT_TRUE(SetFileAttributesW(setup_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(read_file(setup_), program_);
  expect_setup_ran();
}

TEST_F(InstallStepTest, LinkedDirectoryOutsideKeepsItsContent) {
  put_download();
  make_game_directory();
  const std::wstring outside = scratch_ / L"outside";
  ASSERT_TRUE(make_directory(outside));
  ASSERT_TRUE(write_file(outside + L"\\precious.txt", "keep me"));
  ASSERT_TRUE(make_directory(outside + L"\\nested"));
  ASSERT_TRUE(write_file(outside + L"\\nested\\deeper.txt", "keep me too"));
  ASSERT_TRUE(write_file(in_game(L".dead"), ""));
  ASSERT_TRUE(make_directory(in_game(L"mods")));
  const std::wstring link = in_game(L"mods\\linked");
  ASSERT_TRUE(make_directory_link(link, outside));
  ASSERT_TRUE(make_directory_link(in_game(L"linked"), outside));

  const Lines lines = run();
  EXPECT_EQ(read_file(outside + L"\\precious.txt"), "keep me");
  EXPECT_EQ(read_file(outside + L"\\nested\\deeper.txt"), "keep me too");
  if (running_under_wine()) {
    // Wine shows a Unix symbolic link as a directory reparse point but cannot remove it as a link:
    // the removal tries the target, which is not empty, and is refused.
    const std::string refused = ": " + text_of(ERROR_DIR_NOT_EMPTY);
    Lines sorted = lines;
    std::sort(sorted.begin(), sorted.end());  // the listing order is the file system's
    EXPECT_EQ(sorted,
              (Lines{out(STARTED),
                     err("Failed to remove directory " + utf8(in_game(L"linked")) + refused),
                     err("Failed to remove directory " + utf8(in_game(L"mods")) + refused)}));
    remove_link(link);
    remove_link(in_game(L"linked"));
  } else {
    EXPECT_EQ(lines, Lines{out(STARTED)});
    EXPECT_EQ(list_names(game_), Names{L"force_compat_mode.txt"});
  }
}

TEST_F(InstallStepTest, LinkedFileOutsideKeepsItsContent) {
  put_download();
  make_game_directory();
  const std::wstring outside = scratch_ / L"outside.txt";
  ASSERT_TRUE(write_file(outside, "keep me"));
  ASSERT_TRUE(write_file(in_game(L".dead"), ""));
  if (!make_file_link(in_game(L"linked.txt"), outside)) GTEST_SKIP() << "no file links here";

  EXPECT_EQ(run(), Lines{out(STARTED)});
  EXPECT_EQ(read_file(outside), "keep me");
  EXPECT_EQ(list_names(game_), Names{L"force_compat_mode.txt"});
}

TEST_F(InstallStepTest, FileHeldOpenIsReportedAndTheCleanupGoesOn) {
  put_download();
  make_game_directory();
  ASSERT_TRUE(write_file(in_game(L".dead"), ""));
  ASSERT_TRUE(write_file(in_game(L"a-first.dat"), "x"));
  ASSERT_TRUE(write_file(in_game(L"held.dat"), "in use"));
  ASSERT_TRUE(write_file(in_game(L"z-last.dat"), "x"));
  ASSERT_TRUE(make_directory(in_game(L"sub")));
  ASSERT_TRUE(write_file(in_game(L"sub\\inner.dat"), "x"));
  HANDLE held =
      CreateFileW(in_game(L"held.dat").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  const Lines lines = run();
  CloseHandle(held);
  EXPECT_EQ(lines, (Lines{err("Failed to remove file " + utf8(in_game(L"held.dat")) + ": " +
                              text_of(ERROR_SHARING_VIOLATION)),
                          out(STARTED)}));
  EXPECT_EQ(list_names(game_), (Names{L"force_compat_mode.txt", L"held.dat"}));
}

TEST_F(InstallStepTest, DeadMarkerThatCannotBeDeletedIsReportedAndTheCleanupRuns) {
  put_download();
  make_game_directory();
  ASSERT_TRUE(write_file(in_game(L".dead"), ""));
  ASSERT_TRUE(write_file(in_game(L"game.dat"), "x"));
  HANDLE held = CreateFileW(in_game(L".dead").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  const Lines lines = run();
  EXPECT_EQ(lines, (Lines{err("Failed to remove .dead file: " + text_of(ERROR_SHARING_VIOLATION)),
                          err("Failed to remove file " + utf8(in_game(L".dead")) + ": " +
                              text_of(ERROR_SHARING_VIOLATION)),
                          out(STARTED)}));
  CloseHandle(held);
  EXPECT_EQ(list_names(game_), (Names{L".dead", L"force_compat_mode.txt"}));
}

}  // namespace
}  // namespace quorvel::testing
