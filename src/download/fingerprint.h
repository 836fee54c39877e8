// A CA certificate named by its SHA-256 fingerprint, as a publisher gives it at build time
// (QUORVEL_LAUNCHER_ISSUERS) or to quorvel-check: 64 hex digits, either letter case.
#pragma once

#include <span>
#include <string_view>

#include "download/der.h"

namespace quorvel {

bool is_sha256_fingerprint(std::string_view text);

// Whether one of `fingerprints` names one of the SHA-256 digests laid end to end in `digests`.
bool any_fingerprint_names(std::span<const std::string_view> fingerprints, Bytes digests);

}  // namespace quorvel
