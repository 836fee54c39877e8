#include "main/remove_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "main/file_ops.h"
#include "support/scratch_directory.h"
#include "support/wine.h"

namespace quorvel::test {
namespace {

TEST(RemoveTree, RemovesNestedFilesAndDirectories) {
  ScratchDirectory scratch;
  const std::wstring top = scratch / L"top";
  ASSERT_TRUE(make_directory(top));
  ASSERT_TRUE(make_directory(top + L"\\a"));
  ASSERT_TRUE(make_directory(top + L"\\a\\b"));
  ASSERT_TRUE(make_directory(top + L"\\empty"));
  ASSERT_TRUE(write_file(top + L"\\a\\b\\c.txt", "x"));
  ASSERT_TRUE(write_file(top + L"\\a\\d.txt", "x"));
  ASSERT_TRUE(write_file(top + L"\\e.txt", "x"));
  ASSERT_TRUE(remove_directory_tree(top).ok());
  EXPECT_EQ(list_names(scratch.path()), std::vector<std::wstring>{});
}

TEST(RemoveTree, ReadOnlyDirectoryIsRemoved) {
  ScratchDirectory scratch;
  const std::wstring top = scratch / L"top";
  ASSERT_TRUE(make_directory(top));
  ASSERT_TRUE(make_directory(top + L"\\sealed"));
  ASSERT_TRUE(SetFileAttributesW((top + L"\\sealed").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(remove_directory_tree(top).ok());
  EXPECT_FALSE(path_exists(top));
}

TEST(RemoveTree, AFileIsNotADirectory) {
  ScratchDirectory scratch;
  ASSERT_TRUE(write_file(scratch / L"file", "x"));
  Result<void> removed = remove_directory_tree(scratch / L"file");
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error(), Error::os(ERROR_DIRECTORY));
  EXPECT_EQ(read_file(scratch / L"file"), "x");
}

TEST(RemoveTree, MissingDirectoryIsNotFound) {
  ScratchDirectory scratch;
  Result<void> removed = remove_directory_tree(scratch / L"missing");
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error(), Error::os(ERROR_FILE_NOT_FOUND));
}

TEST(RemoveTree, GoesOnPastAFileInUseAndReportsIt) {
  ScratchDirectory scratch;
  const std::wstring top = scratch / L"top";
  ASSERT_TRUE(make_directory(top));
  ASSERT_TRUE(write_file(top + L"\\a.txt", "x"));
  ASSERT_TRUE(write_file(top + L"\\held.txt", "x"));
  ASSERT_TRUE(write_file(top + L"\\z.txt", "x"));
  HANDLE held = CreateFileW((top + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Result<void> removed = remove_directory_tree(top);
  CloseHandle(held);
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error(), Error::os(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(list_names(top), std::vector<std::wstring>{L"held.txt"});
}

TEST(RemoveTree, ALinkGivenDirectlyIsRemovedAsALink) {
  ScratchDirectory scratch;
  const std::wstring outside = scratch / L"outside";
  ASSERT_TRUE(make_directory(outside));
  ASSERT_TRUE(write_file(outside + L"\\keep.txt", "keep"));
  const std::wstring link = scratch / L"link";
  ASSERT_TRUE(make_directory_link(link, outside));
  Result<void> removed = remove_directory_tree(link);
  EXPECT_EQ(read_file(outside + L"\\keep.txt"), "keep");
  if (under_wine()) {
    // Wine cannot remove a Unix symbolic link as a link; the target is never entered.
    ASSERT_FALSE(removed.ok());
    EXPECT_EQ(removed.error(), Error::os(ERROR_DIR_NOT_EMPTY));
    remove_link(link);
  } else {
    EXPECT_TRUE(removed.ok());
    EXPECT_FALSE(path_exists(link));
  }
}

}  // namespace
}  // namespace quorvel::test
