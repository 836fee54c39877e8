#include "runtime/delete_file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "runtime/paths.h"
#include "runtime/utf.h"
#include "support/system_call_swap.h"
#include "support/wine.h"

namespace quorvel {
namespace {

class FileDeletion : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = join_path(temp_root().value(),
                      L"quorvel-delete-test-" + std::to_wstring(GetCurrentProcessId()) + L".tmp");
  }
  void TearDown() override {
    SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path_.c_str());
  }
  void make_file() {
    HANDLE h = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written;
    WriteFile(h, "data", 4, &written, nullptr);
    CloseHandle(h);
  }
  bool exists() const { return GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::wstring path_;
};

TEST_F(FileDeletion, DeletesAnOrdinaryFile) {
  make_file();
  ASSERT_TRUE(delete_file(path_).ok());
  EXPECT_FALSE(exists());
}

TEST_F(FileDeletion, DeletesAReadOnlyFile) {
  make_file();
  ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_FALSE(DeleteFileW(path_.c_str()));
  ASSERT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Wine 8, like Windows before 10 1809, lacks the POSIX-semantics disposition: there the
  // attribute is cleared instead, so the file goes either way.
  Result<void> result = delete_file(path_);
  EXPECT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_FALSE(exists());
}

TEST_F(FileDeletion, AMissingFileIsNotFound) {
  Result<void> result = delete_file(path_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Error::os(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileDeletion, AFileHeldOpenWithoutDeleteSharingReportsTheFirstError) {
  make_file();
  HANDLE held = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_FALSE(DeleteFileW(path_.c_str()));
  DWORD first = GetLastError();
  Result<void> result = delete_file(path_);
  CloseHandle(held);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Error::os(static_cast<int32_t>(first)));
  EXPECT_TRUE(exists());
}

TEST_F(FileDeletion, AReadOnlyFileHeldOpenWithoutDeleteSharingReportsTheFirstError) {
  make_file();
  ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE held = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_FALSE(DeleteFileW(path_.c_str()));
  DWORD first = GetLastError();
  Result<void> result = delete_file(path_);  // the second try fails too: the first error stands
  CloseHandle(held);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Error::os(static_cast<int32_t>(first)));
  EXPECT_TRUE(exists());
}

// Answers as Windows gives them, for the branches Wine never takes.
FILE_INFO_BY_HANDLE_CLASS disposition_class;
ULONG disposition_flags = 0;

BOOL WINAPI extended_disposition_accepted(HANDLE, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                          DWORD size) {
  disposition_class = info_class;
  disposition_flags = size == sizeof(ULONG) ? *static_cast<ULONG*>(info) : 0;
  return TRUE;
}
BOOL WINAPI extended_disposition_unknown(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);  // before Windows 10 1809
  return FALSE;
}
BOOL WINAPI delete_refused(LPCWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

class FileDeletionOnWindows : public FileDeletion {};

TEST_F(FileDeletionOnWindows, ExtendedDispositionWithPosixSemanticsIgnoringReadOnly) {
  make_file();
  ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD before = GetFileAttributesW(path_.c_str());
  test::SystemCallSwap swap(&SystemCalls::set_file_information, &extended_disposition_accepted);
  EXPECT_TRUE(delete_file(path_).ok());
  EXPECT_EQ(disposition_class,
            static_cast<FILE_INFO_BY_HANDLE_CLASS>(21));  // FileDispositionInfoEx
  EXPECT_EQ(disposition_flags, 0x13u);  // delete, POSIX semantics, ignore read-only
  // Accepted: the attribute was not touched by the older way.
  EXPECT_EQ(GetFileAttributesW(path_.c_str()), before);
}

TEST_F(FileDeletionOnWindows, OlderWayPutsTheReadOnlyAttributeBackWhenTheDeleteFails) {
  make_file();
  ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD before = GetFileAttributesW(path_.c_str());
  test::SystemCallSwap old_system(&SystemCalls::set_file_information,
                                  &extended_disposition_unknown);
  test::SystemCallSwap refusing(&SystemCalls::delete_file, &delete_refused);
  Result<void> result = delete_file(path_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Error::os(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetFileAttributesW(path_.c_str()), before);
}

}  // namespace
}  // namespace quorvel
