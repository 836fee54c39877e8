// The facts of an RFC 3161 timestamp (the TSTInfo a time-stamping authority signs): when it was
// made and which hash of the countersigned data it vouches for. The token's signature around it is
// checked by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "download/signed_data.h"

namespace quorvel {

struct TimestampInfo {
  HashAlgorithm hash = HashAlgorithm::Sha256;
  std::vector<uint8_t> hashed;  // the imprint: the hash of the signer's signature value
  int64_t time = 0;             // genTime, in 100 ns units since 1601-01-01 UTC (a FILETIME)
};

// No value for anything that is not a well-formed TSTInfo, DER, with a known hash and a UTC time.
std::optional<TimestampInfo> parse_timestamp_info(Bytes tst_info);

}  // namespace quorvel
