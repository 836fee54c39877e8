// The whole check of one download URL: TLS as Windows clients see it, then the bootstrapper's own
// requests (HEAD, again on fresh connections, GET, a resume from the middle, a resume past the
// end) judged with its own parsing, all within one deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "check/judge.h"
#include "check/report.h"

namespace quorvel::check {

struct CheckOptions {
  std::string url;
  std::vector<std::string> mirrors;       // checked in turn after url, then compared with it
  std::optional<std::string> ca_file;     // trusted roots instead of the system's
  std::optional<std::string> local_file;  // the publisher's copy, compared with what is served
  std::chrono::seconds each_wait{30};     // for each connect, read and write
  std::chrono::seconds whole_run{120};    // for everything
  int head_requests = 4;                  // HEADs on fresh connections, compared
  std::vector<std::string> publishers;    // the served file must be signed by one of these
  std::vector<std::string> issuers;       // and its chain hold one of these CAs (SHA-256)
  bool show_progress = false;             // a progress line on standard error
};

// The publisher's own mistakes, found before any connection: a URL the build refuses, roots or a
// local copy that cannot be read. Yields the reason, or nothing.
std::optional<std::string> check_arguments(const CheckOptions& options);

// Adds the findings for options.url to the report; yields the verdict, or VERDICT_UNREACHABLE with
// `fatal` set when the check could not run (no TCP connection). `announced`, when given, receives
// what its HEAD reply announced.
int run_server_check(const CheckOptions& options, Report& report, std::string& fatal,
                     Announced* announced = nullptr);

}  // namespace quorvel::check
