// The whole check of one download URL: TLS as Windows clients see it, then the bootstrapper's own
// requests (HEAD, GET, a resume from the middle, a resume past the end) judged with its own
// parsing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/report.h"

namespace quorvel::check {

struct CheckOptions {
  std::string url;
  std::optional<std::string> ca_file;     // trusted roots instead of the system's
  std::optional<std::string> local_file;  // the publisher's copy, compared with what is served
  std::vector<std::string> publishers;    // the served file must be signed by one of these
  int timeout_seconds = 30;               // for each connect, read and write
  bool show_progress = false;             // a progress line on standard error
};

// Adds the findings to the report; yields the verdict, or VERDICT_UNREACHABLE with `fatal` set
// when the check could not run (bad URL, unreadable local copy, no TCP connection).
int run_server_check(const CheckOptions& options, Report& report, std::string& fatal);

}  // namespace quorvel::check
