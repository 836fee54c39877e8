// The facts of an RFC 3161 timestamp (the TSTInfo a time-stamping authority signs): when it was
// made and which hash of the countersigned data it vouches for. The signature around it is checked
// by the system; this only reads the DER that the system hands back as the token's content.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {

enum class ImprintHash : uint8_t { Sha1, Sha256, Sha384, Sha512 };

struct TimestampInfo {
  ImprintHash hash = ImprintHash::Sha256;
  std::vector<uint8_t> hashed;  // the imprint: the hash of the signer's signature value
  int64_t time = 0;             // genTime, in 100 ns units since 1601-01-01 UTC (a FILETIME)
};

// No value for anything that is not a well-formed TSTInfo with a known hash and a UTC time. The
// TSTInfo may come bare or in the OCTET STRING that carries it in the token.
std::optional<TimestampInfo> parse_timestamp_info(std::span<const uint8_t> der);

}  // namespace quorvel
