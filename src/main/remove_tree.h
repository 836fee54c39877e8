// Removal of a directory with everything inside it, never following a link: a link inside, or the
// path itself when it is a link, is removed as a link and what it points to stays untouched.
#pragma once

#include <string>

#include "runtime/error.h"

namespace quorvel {

// Removes as much as it can; the result is the first error met.
Result<void> remove_directory_tree(const std::wstring& path);

}  // namespace quorvel
