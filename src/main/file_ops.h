// File-system operations of the install step, each returning its error as a value.
#pragma once

#include <string>
#include <string_view>

#include "runtime/error.h"

namespace quorvel {

// Whether anything is at the path; a link there counts, whatever it points to.
bool path_exists(const std::wstring& path);

enum class EntryType { File, Directory };

// The type of what the path resolves to after following links. An error when it cannot be
// resolved (missing, dangling link, no access).
Result<EntryType> resolved_type(const std::wstring& path);

// Creates the directory and every missing parent. A directory already there is no error.
Result<void> create_directory_with_parents(const std::wstring& path);

// Creates an empty file, or truncates the file that is there.
Result<void> create_empty_file(const std::wstring& path);

// Copies a file, replacing what is at the destination.
Result<void> copy_file(const std::wstring& from, const std::wstring& to);

// The path as UTF-8 for a printed line; an unpaired surrogate shows as U+FFFD.
std::string display_path(std::wstring_view path);

}  // namespace quorvel
