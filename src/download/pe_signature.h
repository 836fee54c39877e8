// Where a PE file keeps its Authenticode signature, and which of its bytes the signature's image
// digest covers: everything but the header's checksum field, the certificate table's directory
// entry and the certificate table itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "download/der.h"
#include "runtime/error.h"

namespace quorvel {

struct PeSignature {
  size_t checksum_at = 0;   // file offset of the 4-byte checksum field
  size_t directory_at = 0;  // of the certificate table's 8-byte directory entry
  size_t table_at = 0;      // of the certificate table, which ends the file
  Bytes signature;          // the PKCS#7 SignedData the table holds
};

// The signature of `file`. ErrorKind::NotFound when it is no PE file or has no certificate table;
// InvalidData when the table is not exactly one PKCS#7 signature and at most 7 zero bytes of
// padding to an 8-byte boundary, or anything follows it: a program that reads its own tail must
// not be handed bytes that no signature covers.
Result<PeSignature> find_pe_signature(Bytes file);

// The bytes the image digest covers, in order, taken out of `file` (which is consumed).
std::vector<uint8_t> authenticode_image(std::vector<uint8_t> file, const PeSignature& signature);

}  // namespace quorvel
