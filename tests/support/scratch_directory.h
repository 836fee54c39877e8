// Helpers of the install and launch tests: a scratch directory, file helpers, links made the way
// the platform allows and the stand-in setup executable (printed lines: support/captured_lines.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/output.h"

namespace quorvel::test {

// A fresh directory under the real temporary directory, removed with its content at the end.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(std::wstring_view name) const;

 private:
  std::wstring path_;
};

// The stand-in setup executable as a Windows path.
std::wstring fake_setup_path();

bool write_file(const std::wstring& path, std::string_view bytes);
std::optional<std::string> read_file(const std::wstring& path);
bool make_directory(const std::wstring& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::wstring> list_names(const std::wstring& directory);
// Waits until the file exists and can be read.
std::optional<std::string> wait_for_file(const std::wstring& path,
                                         std::chrono::milliseconds timeout);

// A link to a directory: a junction on Windows; under Wine, which has no junctions, a Unix symbolic
// link, which Wine shows as a reparse point.
bool make_directory_link(const std::wstring& link, const std::wstring& target);
// A symbolic link to a file; false when the platform cannot make one that behaves as on Windows.
bool make_file_link(const std::wstring& link, const std::wstring& target);

std::string utf8(std::wstring_view text);

// Removes a link made by make_directory_link or make_file_link, never its target.
void remove_link(const std::wstring& link);

using Line = std::pair<OutputStream, std::string>;

}  // namespace quorvel::test
