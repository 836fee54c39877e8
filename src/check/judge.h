// What the facts the fetching side saw mean for players: pure functions, facts in, findings out.
// Each group of requirements has its function; none talks to a server.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check/body_sink.h"
#include "check/fetch.h"
#include "check/reply_facts.h"
#include "check/report.h"

namespace quorvel::check {

using Findings = std::vector<Finding>;

// TLS 1.2, the certificate, and each Windows client's handshake.
Findings judge_tls(const TlsSeen& seen);

// What the HEAD reply gives the bootstrapper: what the later steps are judged against.
struct Announced {
  bool usable = false;  // the bootstrapper gets past its HEAD step
  std::optional<uint64_t> length, crc;
  std::optional<std::string> etag;      // recognised and not empty
  std::optional<std::string> crc_text;  // the checksum header's value, when it cannot be read
};

// The HEAD reply, its status and its three headers.
Findings judge_head(const HeadSeen& seen, std::chrono::seconds run, Announced& announced);

// Several HEAD replies over fresh connections: one server or several that disagree.
Findings judge_mirrors(std::span<const HeadSeen> replies);

// The GET reply's status, head and body.
Findings judge_get(const GetSeen& seen, const Announced& announced, std::chrono::seconds run);

// The served bytes against the announced checksum; `crc` is theirs, none when no body came.
Findings judge_checksum(const GetSeen& seen, std::optional<uint64_t> crc,
                        const Announced& announced);

// The served bytes against the publisher's copy.
Findings judge_local_copy(const LocalCopyFacts& facts, const std::string& path,
                          bool checksum_matched);

// A ranged GET from the middle: `same_bytes` when its body continued the whole body's checksum to
// the same end.
Findings judge_resume(uint64_t start, const GetSeen& seen, bool same_bytes,
                      const Announced& announced);

// A ranged GET from the end of the file.
Findings judge_resume_past_end(uint64_t start, const GetSeen& seen);

// One mirror of a release, and what its HEAD reply announced (none when it could not be checked).
struct HostAnnounced {
  std::string url;
  std::optional<Announced> announced;
};

// The mirrors against the download URL: the same length and checksum (one file), and the same
// rules for entity tags.
Findings judge_release_hosts(const Announced& primary, std::span<const HostAnnounced> mirrors);

// Whether the whole GET brought a body the resume checks can be judged against.
bool body_is_whole(const GetSeen& seen, const Announced& announced);

}  // namespace quorvel::check
