// The launcher's Authenticode signature judged on the publisher's machine as the bootstrapper built
// with publisher names judges it on players' machines: digest, a chain to a trusted root valid for
// code signing (at the timestamp's time when there is one), the signer's name and, when asked, its
// CA. Verified with Debian's osslsigncode; the signer's name and chain read with OpenSSL.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "check/report.h"

namespace quorvel::check {

// One finding, "launcher signature": Ok when the file at `path` is signed by one of `publishers`
// through a chain to the roots of `ca_file` (default: the system's) that holds one of the CAs
// `issuers` name (SHA-256 fingerprints; none: any CA), else Fail with the reason.
Finding check_launcher_signature(const std::string& path, std::span<const std::string> publishers,
                                 std::span<const std::string> issuers,
                                 const std::optional<std::string>& ca_file);

}  // namespace quorvel::check
