// The hosts of one release side by side: the download URL and every mirror must serve one file,
// since a player is moved from one to the next after any failed attempt.
#include "check/judge.h"
#include "check/wording.h"

namespace quorvel::check {

namespace {

std::string value_text(const std::optional<uint64_t>& value) {
  return value ? std::to_string(*value) : "none";
}

bool is_weak(const std::optional<std::string>& etag) {
  return etag && etag->starts_with("W/");
}

std::string tag_rule(const std::optional<std::string>& etag) {
  if (!etag) return "no entity tag";
  return is_weak(etag) ? "a weak entity tag" : "a strong entity tag";
}

}  // namespace

Findings judge_release_hosts(const Announced& primary, std::span<const HostAnnounced> mirrors) {
  Findings findings;
  for (const HostAnnounced& mirror : mirrors) {
    const std::string requirement = "mirror " + mirror.url;
    if (!mirror.announced || !mirror.announced->usable || !primary.usable) {
      findings.push_back({Severity::Unchecked, requirement,
                          "not compared: a HEAD reply the bootstrapper can use is missing"});
      continue;
    }
    const Announced& other = *mirror.announced;
    if (other.length != primary.length || other.crc != primary.crc) {
      findings.push_back(
          {Severity::Fail, requirement,
           "serves another file: length " + value_text(other.length) + " and checksum " +
               value_text(other.crc) + ", the download URL " + value_text(primary.length) +
               " and " + value_text(primary.crc) +
               "; players moved to it after a failure install a different launcher, or none"});
    } else if (other.etag.has_value() != primary.etag.has_value() ||
               is_weak(other.etag) != is_weak(primary.etag)) {
      findings.push_back({Severity::Degraded, requirement,
                          "gives " + tag_rule(other.etag) + ", the download URL " +
                              tag_rule(primary.etag) +
                              "; the hosts do not resume downloads alike"});
    } else if (other.etag != primary.etag) {
      findings.push_back({Severity::Ok, requirement,
                          "the same file; its entity tag " + printable(*other.etag) +
                              " differs, so a download moved to it starts from the first byte"});
    } else {
      findings.push_back({Severity::Ok, requirement, "the same length, entity tag and checksum"});
    }
  }
  return findings;
}

}  // namespace quorvel::check
