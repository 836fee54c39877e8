// The check's findings: one line per requirement, what was seen and what it costs players, and
// the verdict that becomes the exit status.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::check {

enum class Severity {
  Ok,
  Degraded,   // downloads complete, but without progress, resume or the like
  Fail,       // some supported player can never complete a download
  Unchecked,  // not judged: an earlier failure or the run's deadline left it out
};

struct Finding {
  Severity severity;
  std::string requirement;  // "ETag", "TLS for Windows 7", ...
  std::string text;
};

// Exit statuses.
inline constexpr int VERDICT_OK = 0;
inline constexpr int VERDICT_FAIL = 1;
inline constexpr int VERDICT_DEGRADED = 2;
inline constexpr int VERDICT_UNREACHABLE = 3;  // also bad arguments

// "ok        ETag: \"6b17-16e3\"", "FAIL      checksum: ..."
std::string format_finding(const Finding& finding);

int verdict(std::span<const Finding> findings);
std::string verdict_line(int verdict);

// Collects findings and hands each to a listener as it is made, so lines appear as the check goes.
class Report {
 public:
  explicit Report(std::function<void(const Finding&)> listener = {})
      : listener_(std::move(listener)) {}
  void add(Severity severity, std::string requirement, std::string text);
  const std::vector<Finding>& findings() const { return findings_; }

 private:
  std::function<void(const Finding&)> listener_;
  std::vector<Finding> findings_;
};

}  // namespace quorvel::check
