#include "check/report.h"

#include <algorithm>

namespace quorvel::check {

std::string format_finding(const Finding& finding) {
  std::string line = finding.severity == Severity::Ok         ? "ok        "
                     : finding.severity == Severity::Degraded ? "DEGRADED  "
                     : finding.severity == Severity::Fail     ? "FAIL      "
                                                              : "--        ";
  line += finding.requirement;
  line += ": ";
  line += finding.text;
  return line;
}

int verdict(std::span<const Finding> findings) {
  auto has = [&](Severity s) {
    return std::any_of(findings.begin(), findings.end(),
                       [s](const Finding& f) { return f.severity == s; });
  };
  if (has(Severity::Fail)) return VERDICT_FAIL;
  if (has(Severity::Degraded)) return VERDICT_DEGRADED;
  return VERDICT_OK;
}

std::string verdict_line(int verdict) {
  switch (verdict) {
    case VERDICT_OK:
      return "verdict 0: every requirement met";
    case VERDICT_FAIL:
      return "verdict 1: some players can never complete a download";
    case VERDICT_DEGRADED:
      return "verdict 2: downloads complete, but degraded";
    default:
      return "verdict 3: the server could not be checked";
  }
}

void Report::add(Severity severity, std::string requirement, std::string text) {
  findings_.push_back({severity, std::move(requirement), std::move(text)});
  if (listener_) listener_(findings_.back());
}

}  // namespace quorvel::check
