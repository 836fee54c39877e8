#include "main/file_ops.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/scratch_directory.h"

namespace quorvel::test {
namespace {

TEST(FileOps, CreatesEveryMissingLevelWhateverTheSeparators) {
  ScratchDirectory scratch;
  const std::wstring deep = scratch.path() + L"/one\\two/three";
  ASSERT_TRUE(create_directory_with_parents(deep).ok());
  EXPECT_EQ(resolved_type(scratch / L"one\\two\\three").value(), EntryType::Directory);
}

TEST(FileOps, AnExistingDirectoryIsNoError) {
  ScratchDirectory scratch;
  ASSERT_TRUE(create_directory_with_parents(scratch.path()).ok());
  ASSERT_TRUE(create_directory_with_parents(scratch.path() + L"\\").ok());
}

TEST(FileOps, AFileInTheWayIsAnError) {
  ScratchDirectory scratch;
  ASSERT_TRUE(write_file(scratch / L"blocker", "x"));
  Result<void> made = create_directory_with_parents(scratch / L"blocker\\below\\deeper");
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error(), Error::os(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(read_file(scratch / L"blocker"), "x");
}

TEST(FileOps, AMissingDriveIsAnErrorNotAnEndlessClimb) {
  // Find a drive letter that is not mapped.
  const DWORD drives = GetLogicalDrives();
  wchar_t letter = 0;
  for (wchar_t c = L'Q'; c <= L'Y'; ++c) {
    if (!(drives & (1u << (c - L'A')))) {
      letter = c;
      break;
    }
  }
  if (letter == 0) GTEST_SKIP() << "every drive letter is mapped";
  const std::wstring path = std::wstring(1, letter) + L":\\Brisko\\Quorvel-Survival Game";
  EXPECT_FALSE(create_directory_with_parents(path).ok());
}

TEST(FileOps, EmptyFileIsCreatedOrTruncatedEvenWhenHidden) {
  ScratchDirectory scratch;
  const std::wstring marker = scratch / L"force_compat_mode.txt";
  ASSERT_TRUE(create_empty_file(marker).ok());
  EXPECT_EQ(read_file(marker), "");
  ASSERT_TRUE(write_file(marker, "content"));
  ASSERT_TRUE(SetFileAttributesW(marker.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(create_empty_file(marker).ok());
  EXPECT_EQ(read_file(marker), "");
}

TEST(FileOps, EmptyFileInAMissingDirectoryIsPathNotFound) {
  ScratchDirectory scratch;
  Result<void> created = create_empty_file(scratch / L"missing\\force_compat_mode.txt");
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error(), Error::os(ERROR_PATH_NOT_FOUND));
}

TEST(FileOps, ResolvedTypeAndExistence) {
  ScratchDirectory scratch;
  ASSERT_TRUE(write_file(scratch / L"file", "x"));
  EXPECT_EQ(resolved_type(scratch / L"file").value(), EntryType::File);
  EXPECT_EQ(resolved_type(scratch.path()).value(), EntryType::Directory);
  Result<EntryType> missing = resolved_type(scratch / L"missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), Error::os(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(path_exists(scratch / L"file"));
  EXPECT_FALSE(path_exists(scratch / L"missing"));
}

TEST(FileOps, CopyReplacesTheDestinationAndReportsAMissingSource) {
  ScratchDirectory scratch;
  ASSERT_TRUE(write_file(scratch / L"from", "new"));
  ASSERT_TRUE(write_file(scratch / L"to", "old and longer"));
  ASSERT_TRUE(copy_file(scratch / L"from", scratch / L"to").ok());
  EXPECT_EQ(read_file(scratch / L"to"), "new");
  Result<void> copied = copy_file(scratch / L"nothing", scratch / L"to");
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error(), Error::os(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(read_file(scratch / L"to"), "new");
}

}  // namespace
}  // namespace quorvel::test
