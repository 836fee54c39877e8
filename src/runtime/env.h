// Environment variables as Unicode text; a value that is not valid Unicode counts as absent.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvel {

std::optional<std::string> read_env(const char* name);

// An unsigned decimal number with an optional leading "+"; nothing else (no sign alone, no spaces,
// no overflow).
std::optional<size_t> parse_unsigned(const std::string& text);

// The executor's thread count from SMOL_THREADS: unset or not a number gives 1; 0 also gives 1, as
// a runtime without executor threads would never run a spawned task.
size_t executor_thread_count(const std::optional<std::string>& value);

// The blocking pool's thread limit from BLOCKING_MAX_THREADS: 500 by default, at least 1, at most
// 10000.
size_t blocking_thread_limit(const std::optional<std::string>& value);

}  // namespace quorvel
