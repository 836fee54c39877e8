#include "check/judge.h"
#include "check/wording.h"

#include <algorithm>
#include <set>

#include "download/number.h"

namespace quorvel::check {

namespace {

std::string spellings(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::string_view name : names) {
    if (!text.empty()) text += ", ";
    text += quoted(name);
  }
  return text;
}

std::string times(int lines) {
  return lines > 1 ? " (sent " + std::to_string(lines) + " times; the bootstrapper uses the last)"
                   : "";
}

const char* STOPS = "it stops at its HEAD step and downloads nothing, every attempt";

Finding judge_reply(const HeadSeen& seen, const HeadFacts& facts, std::chrono::seconds run) {
  const std::string requirement = "HEAD reply";
  const size_t got = seen.reply.size();
  if (seen.out_of_time) {
    return {Severity::Fail, requirement,
            "the check's " + std::to_string(run.count()) + " s ran out after " + bytes(got) +
                " of the reply, the connection still open: a server this slow fails players "
                "too (--deadline allows a longer run)"};
  }
  if (seen.error && seen.error->kind() == ErrorKind::TimedOut) {
    return {Severity::Fail, requirement,
            "the server kept the connection open after " + bytes(got) + " (" +
                error_text(*seen.error) +
                "); the bootstrapper reads the reply until the connection closes and waits "
                "forever"};
  }
  if (seen.error) {
    return {Severity::Fail, requirement,
            error_text(*seen.error) + (got ? " after " + bytes(got) : std::string())};
  }
  if (seen.over_limit) {
    return {Severity::Fail, requirement,
            (facts.bytes_after_head > 0
                 ? std::string("the server sent a body with its reply to HEAD, more than 65536 "
                               "bytes in all")
                 : std::string("the head goes on past 65536 bytes")) +
                "; the bootstrapper gives up on a HEAD reply that long: " + STOPS};
  }
  if (facts.rejection == Rejection::NotUtf8) {
    return {Severity::Fail, requirement,
            "line " + std::to_string(facts.bad_utf8_line) + " (" + quoted(facts.bad_utf8_text) +
                (facts.bad_utf8_after_head ? ", in a body the server sent with its reply to HEAD"
                                           : "") +
                ") is not UTF-8; the bootstrapper refuses the whole reply: " + STOPS};
  }
  std::string text = bytes(got) + ", then the connection closed";
  if (facts.bytes_after_head > 0) {
    text += " (" + bytes(facts.bytes_after_head) +
            " of them after the head: a body, which a reply to HEAD must not carry)";
  }
  return {Severity::Ok, requirement, text};
}

// The header's finding when the bootstrapper never reads the headers.
std::optional<Finding> unread(const char* requirement, std::optional<std::string_view> value) {
  return Finding{Severity::Unchecked, requirement,
                 (value ? "sent as " + quoted(*value) + ", but" : std::string("not judged:")) +
                     " the bootstrapper refuses the reply before it reads its headers"};
}

Finding judge_content_length(const HeadFacts& facts, Announced& announced) {
  const char* requirement = "Content-Length";
  if (facts.content_length) {
    auto value = parse_u64(*facts.content_length);
    if (!value) {
      announced.usable = false;
      return {Severity::Fail, requirement,
              quoted(*facts.content_length) + " is not a number (" + error_text(value.error()) +
                  "): the bootstrapper fails on it; " + STOPS};
    }
    announced.length = *value;
    return {Severity::Ok, requirement, bytes(*value) + times(facts.content_length_lines)};
  }
  return {
      Severity::Degraded, requirement,
      (facts.content_length_misspelt.empty()
           ? std::string("missing")
           : "not recognised: the server spells it " + spellings(facts.content_length_misspelt) +
                 " and the bootstrapper reads only \"Content-Length:\"") +
          "; downloads complete, but the progress bar never moves"};
}

Finding judge_etag(const HeadFacts& facts, Announced& announced) {
  const char* requirement = "ETag";
  if (facts.etag && !facts.etag->empty()) {
    announced.etag = std::string(*facts.etag);
    return {Severity::Ok, requirement, printable(*facts.etag) + times(facts.etag_lines)};
  }
  const std::string seen = facts.etag ? "empty"
                           : facts.etag_misspelt.empty()
                               ? "missing"
                               : "not recognised: the server spells it " +
                                     spellings(facts.etag_misspelt) +
                                     " and the bootstrapper reads only \"ETag:\"";
  return {Severity::Degraded, requirement,
          seen + "; a cut download never resumes: it starts again from the first byte"};
}

Finding judge_crc_header(const HeadFacts& facts, Announced& announced) {
  const char* requirement = "x-oss-hash-crc64ecma";
  if (facts.crc64) {
    auto value = parse_u64(*facts.crc64);
    if (!value) {
      announced.usable = false;
      announced.crc_text = std::string(*facts.crc64);
      return {Severity::Fail, requirement,
              quoted(*facts.crc64) + " is not a decimal number (" + error_text(value.error()) +
                  "): the bootstrapper fails on it; " + STOPS};
    }
    announced.crc = *value;
    return {Severity::Ok, requirement, std::to_string(*value) + times(facts.crc64_lines)};
  }
  return {Severity::Fail, requirement,
          (facts.crc64_misspelt.empty()
               ? std::string("missing")
               : "not recognised: the server spells it " + spellings(facts.crc64_misspelt) +
                     " and the bootstrapper reads only \"x-oss-hash-crc64ecma:\"") +
              "; the checksum reads as 0, so every download is thrown away and started again, "
              "forever"};
}

}  // namespace

Findings judge_head(const HeadSeen& seen, std::chrono::seconds run, Announced& announced) {
  announced = {};
  const HeadFacts facts = head_facts(seen.reply);
  Findings findings{judge_reply(seen, facts, run)};
  // Nothing more to judge before a whole status line.
  if (seen.reply.find('\n') == std::string::npos && (seen.error || seen.out_of_time)) {
    return findings;
  }
  if (seen.reply.empty()) return findings;

  const bool status_ok = std::string_view(seen.reply).starts_with("HTTP/1.1 200");
  if (status_ok) {
    findings.push_back({Severity::Ok, "HEAD status", quoted(facts.status_line)});
  } else {
    std::string text = quoted(facts.status_line) +
                       ": the bootstrapper needs a reply that begins with \"HTTP/1.1 200\"";
    if (facts.status_code >= 300 && facts.status_code < 400) text += " and follows no redirect";
    findings.push_back({Severity::Fail, "HEAD status", text});
  }
  // A reply the bootstrapper refuses, or never sees the end of, gives it no headers; one that is
  // only kept open is judged on, as its headers are what players would get from a fixed server.
  const bool kept_open = seen.error && seen.error->kind() == ErrorKind::TimedOut;
  const bool read = status_ok && !seen.over_limit && facts.rejection == Rejection::None &&
                    (!seen.error || kept_open) && !seen.out_of_time;
  if (!read) {
    findings.push_back(*unread("Content-Length", facts.content_length));
    findings.push_back(*unread("ETag", facts.etag));
    findings.push_back(*unread("x-oss-hash-crc64ecma", facts.crc64));
    return findings;
  }
  announced.usable = !kept_open;
  findings.push_back(judge_content_length(facts, announced));
  findings.push_back(judge_etag(facts, announced));
  findings.push_back(judge_crc_header(facts, announced));
  return findings;
}

Findings judge_mirrors(std::span<const HeadSeen> replies) {
  const std::string requirement =
      "mirrors (" + std::to_string(replies.size()) + " HEAD requests on fresh connections)";
  std::set<std::string> tags, lengths, checksums;
  size_t read = 0;
  for (const HeadSeen& seen : replies) {
    Announced announced;
    judge_head(seen, std::chrono::seconds(0), announced);
    if (!announced.usable) continue;
    ++read;
    tags.insert(announced.etag.value_or("(none)"));
    lengths.insert(announced.length ? std::to_string(*announced.length) : "(none)");
    checksums.insert(announced.crc ? std::to_string(*announced.crc) : "(none)");
  }
  auto listed = [](const std::set<std::string>& values) {
    std::string text;
    for (const std::string& v : values) text += (text.empty() ? "" : ", ") + printable(v);
    return text;
  };
  if (read < replies.size()) {
    return {{Severity::Degraded, requirement,
             std::to_string(replies.size() - read) +
                 " of them did not get a reply the bootstrapper can use: some players' downloads "
                 "fail at their HEAD step and start over"}};
  }
  if (checksums.size() > 1) {
    return {{Severity::Fail, requirement,
             "the replies announce different checksums (" + listed(checksums) +
                 "): a player whose GET reaches another file than its HEAD throws the download "
                 "away and starts again"}};
  }
  if (tags.size() > 1 || lengths.size() > 1) {
    return {{Severity::Degraded, requirement,
             "the replies differ: " +
                 (tags.size() > 1 ? "entity tags " + listed(tags) : std::string()) +
                 (tags.size() > 1 && lengths.size() > 1 ? "; " : "") +
                 (lengths.size() > 1 ? "lengths " + listed(lengths) : std::string()) +
                 "; a resumed download that meets another tag starts again from the first byte"}};
  }
  return {{Severity::Ok, requirement, "the same entity tag, length and checksum each time"}};
}

}  // namespace quorvel::check
