#include "check/judge.h"
#include "check/wording.h"

#include "download/number.h"

namespace quorvel::check {

namespace {

std::string head_line(const GetSeen& seen, size_t index) {
  // A line of body bytes read as a header line says enough in its first bytes.
  return "line " + std::to_string(index + 1) + " of the head (\"" +
         printable(seen.head_lines[index], 24) + "\")";
}

// Why the bootstrapper never gets past the head, or nothing.
std::optional<Finding> judge_head_framing(const GetSeen& seen, std::chrono::seconds run) {
  const char* requirement = "GET head";
  if (seen.bare_blank_line) {
    std::string text =
        "the server ends its header lines with a bare line feed; the bootstrapper ends the head "
        "only at \"\\r\\n\", so it reads the file's first bytes as header lines";
    text += seen.refused ? ", fails on " + head_line(seen, seen.head_lines.size() - 1) +
                               ", which is not UTF-8, and every download fails"
            : seen.head_ended ? " and stores the file from a later byte on: every download fails "
                                "its checksum and starts again, forever"
                              : " until the connection ends and stores nothing";
    return Finding{Severity::Fail, requirement, text};
  }
  if (seen.refused) {
    return Finding{Severity::Fail, requirement,
                   head_line(seen, seen.head_lines.size() - 1) +
                       " is not UTF-8: the bootstrapper fails every download there"};
  }
  if (seen.head_ended) return std::nullopt;
  if (seen.out_of_time) {
    return Finding{Severity::Fail, requirement,
                   "the check's " + std::to_string(run.count()) +
                       " s ran out before the head ended: a server this slow fails players too "
                       "(--deadline allows a longer run)"};
  }
  if (seen.error) return Finding{Severity::Fail, requirement, error_text(*seen.error)};
  return Finding{Severity::Fail, requirement,
                 "the connection ended before the head's blank line: the bootstrapper stores "
                 "nothing"};
}

}  // namespace

Findings judge_get(const GetSeen& seen, const Announced& announced, std::chrono::seconds run) {
  if (seen.head_lines.empty()) {
    return {{Severity::Fail, "GET",
             seen.error ? error_text(*seen.error) : std::string("the server sent no reply")}};
  }
  const GetFacts facts = get_facts(seen.head_lines);
  Findings findings;
  if (facts.rejection == Rejection::NotUtf8) {
    findings.push_back({Severity::Fail, "GET status",
                        quoted(facts.status_line) + " is not UTF-8: the bootstrapper fails"});
    return findings;
  }
  if (facts.rejection == Rejection::Status) {
    std::string text =
        quoted(facts.status_line) + ": the bootstrapper needs \"HTTP/1.1 200\" or \"HTTP/1.1 206\"";
    if (facts.location) text += " and follows no redirect (to " + quoted(*facts.location) + ")";
    findings.push_back({Severity::Fail, "GET status", text});
    return findings;
  }
  findings.push_back({Severity::Ok, "GET status", quoted(facts.status_line)});
  if (auto framing = judge_head_framing(seen, run)) {
    findings.push_back(*framing);
    return findings;
  }

  const BodySeen& body = seen.body;
  std::string text = bytes(body.size);
  Severity severity = Severity::Ok;
  if (is_transformed_body(facts.transfer_encoding) || is_transformed_body(facts.content_encoding)) {
    severity = Severity::Fail;
    text += is_transformed_body(facts.transfer_encoding)
                ? " sent with Transfer-Encoding: " + printable(*facts.transfer_encoding)
                : " sent with Content-Encoding: " + printable(*facts.content_encoding);
    text += "; the bootstrapper stores the body as it comes and decodes nothing";
  } else if (body.out_of_time) {
    severity = Severity::Fail;
    text += " by the end of the check's " + std::to_string(run.count()) +
            " s, the connection still open: a server this slow fails players too (--deadline "
            "allows a longer run)";
  } else if (body.error && body.error->kind() == ErrorKind::TimedOut) {
    severity = Severity::Fail;
    text += ", then the server kept the connection open (" + error_text(*body.error) +
            "); the bootstrapper reads the body until the connection closes and waits forever";
  } else if (body.error) {
    severity = Severity::Degraded;
    text += ", then the connection failed: " + error_text(*body.error);
  } else if (body.over_limit) {
    severity = Severity::Fail;
    text += " read, and more kept coming";
  } else {
    text += ", then the connection closed";
  }
  if (severity == Severity::Ok && announced.length && *announced.length != body.size) {
    severity = Severity::Degraded;
    text += ", but the HEAD reply announced " + std::to_string(*announced.length) +
            ": the progress bar is wrong and a resume may start over";
  }
  findings.push_back({severity, "GET body", text});
  return findings;
}

bool body_is_whole(const GetSeen& seen, const Announced& announced) {
  const BodySeen& body = seen.body;
  return seen.head_ended && !seen.refused && !seen.bare_blank_line && !body.error &&
         !body.over_limit && !body.out_of_time &&
         (!announced.length || *announced.length == body.size) &&
         get_facts(seen.head_lines).rejection == Rejection::None &&
         !is_transformed_body(get_facts(seen.head_lines).transfer_encoding) &&
         !is_transformed_body(get_facts(seen.head_lines).content_encoding);
}

Findings judge_checksum(const GetSeen& seen, std::optional<uint64_t> crc,
                        const Announced& announced) {
  const char* requirement = "checksum";
  if (!crc || !seen.head_ended)
    return {{Severity::Unchecked, requirement, "not compared: no whole body"}};
  const std::string served =
      "the " + bytes(seen.body.size) + " served have CRC-64/XZ " + std::to_string(*crc);
  if (announced.crc_text) {
    // A checksum written in hexadecimal is a common slip: say so when it is one.
    std::string_view text = *announced.crc_text;
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    uint64_t value = 0;
    bool hex = !text.empty() && text.size() <= 16;
    for (char c : text) {
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      hex = hex && digit >= 0;
      value = value * 16 + static_cast<uint64_t>(digit < 0 ? 0 : digit);
    }
    if (hex && value == *crc) {
      return {{Severity::Fail, requirement,
               served + ", which the header gives in hexadecimal; write it in decimal: " +
                   std::to_string(*crc)}};
    }
  }
  if (!announced.usable) {
    return {{Severity::Unchecked, requirement,
             "not compared: the bootstrapper never gets past its HEAD step; " + served}};
  }
  if (announced.crc == crc || (!announced.crc && *crc == 0)) {
    return {{Severity::Ok, requirement, served + ", as announced"}};
  }
  return {{Severity::Fail, requirement,
           served + ", the bootstrapper expects " + std::to_string(announced.crc.value_or(0)) +
               ": every download is thrown away and started again, forever"}};
}

Findings judge_local_copy(const LocalCopyFacts& facts, const std::string& path,
                          bool checksum_matched) {
  const char* requirement = "local copy";
  // With a matching checksum players install what is served: say that it is not the file meant.
  const std::string consequence =
      checksum_matched ? ": players complete the download and install the served file, not yours"
                       : "";
  if (facts.read_error) {
    return {{Severity::Unchecked, requirement,
             "cannot read " + path + ": " + error_text(*facts.read_error)}};
  }
  if (facts.first_difference) {
    return {{Severity::Fail, requirement,
             "the served file differs from " + path + " at byte " +
                 std::to_string(*facts.first_difference) + consequence}};
  }
  if (facts.local_ends_at || facts.local_longer) {
    return {{Severity::Fail, requirement,
             "the served file and " + path + " differ in length (" +
                 (facts.local_ends_at
                      ? "the local one ends at byte " + std::to_string(*facts.local_ends_at)
                      : std::string("the served one is shorter")) +
                 ")" + consequence}};
  }
  return {{Severity::Ok, requirement, "the served bytes are " + path + "'s"}};
}

Findings judge_resume(uint64_t start, const GetSeen& seen, bool same_bytes,
                      const Announced& announced) {
  const std::string requirement = "resume (Range: bytes=" + std::to_string(start) + "-)";
  const std::string restart =
      ": the bootstrapper fails the resume and starts again from the first byte, so every cut "
      "costs the whole download";
  if (seen.head_lines.empty() || !seen.head_ended) {
    return {{Severity::Degraded, requirement,
             (seen.error ? error_text(*seen.error) : std::string("no usable reply")) + restart}};
  }
  const GetFacts facts = get_facts(seen.head_lines);
  if (facts.rejection != Rejection::None) {
    return {{Severity::Degraded, requirement, quoted(facts.status_line) + restart}};
  }
  if (facts.status_code == 200) {
    return {{Severity::Degraded, requirement,
             "answered \"HTTP/1.1 200\" with the whole file" + restart}};
  }
  if (!same_bytes) {
    return {{Severity::Degraded, requirement,
             quoted(facts.status_line) + " with " + bytes(seen.body.size) +
                 " that are not the file's from byte " + std::to_string(start) + restart}};
  }
  return {{Severity::Ok, requirement,
           quoted(facts.status_line) + " with the file's last " + bytes(seen.body.size) +
               (announced.etag     ? ""
                : announced.usable ? " (unused while the ETag is not recognised)"
                                   : " (unused while the bootstrapper stops at its HEAD step)")}};
}

Findings judge_resume_past_end(uint64_t start, const GetSeen& seen) {
  const std::string requirement =
      "resume past the end (Range: bytes=" + std::to_string(start) + "-)";
  if (seen.head_lines.empty()) {
    return {{Severity::Degraded, requirement,
             seen.error ? error_text(*seen.error) : std::string("no reply")}};
  }
  const GetFacts facts = get_facts(seen.head_lines);
  if (facts.status_code == 416) return {{Severity::Ok, requirement, quoted(facts.status_line)}};
  return {{Severity::Degraded, requirement,
           quoted(facts.status_line) +
               " instead of 416: a download file longer than the served one is appended to, "
               "fails its checksum and starts over"}};
}

}  // namespace quorvel::check
