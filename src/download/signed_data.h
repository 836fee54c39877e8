// The parts of a PKCS#7 / CMS SignedData that the launcher's signature check judges itself: the
// signed content, the one signer with its authenticated attributes, the certificates carried
// along, and of each certificate what the check needs to match and judge it. Only reads: what
// the bytes claim is verified by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "download/der.h"

namespace quorvel {

enum class HashAlgorithm : uint8_t { Sha1, Sha256, Sha384, Sha512 };

// The hash an AlgorithmIdentifier's OID names, when it is one of the four.
std::optional<HashAlgorithm> hash_algorithm(Bytes oid);
size_t digest_size(HashAlgorithm hash);

struct SignerInfo {
  Bytes issuer;  // of the signer's certificate, the whole Name
  Bytes serial;  // its serial number's contents
  HashAlgorithm digest = HashAlgorithm::Sha256;
  std::vector<uint8_t> signed_attributes;  // as signed: the attributes' SET, DER
  Bytes content_type;                      // the contentType attribute's OID
  Bytes message_digest;                    // the messageDigest attribute's value
  Bytes signature_algorithm;               // the signature's AlgorithmIdentifier OID
  Bytes signature;
  Bytes timestamp_token;  // an RFC 3161 countersignature's ContentInfo, or empty
};

struct SignedData {
  Bytes content_type;  // the encapsulated content's OID
  Bytes content;       // what messageDigest covers: the content's contents octets
  std::vector<Bytes> certificates;
  SignerInfo signer;
};

// No value for anything but a ContentInfo holding a SignedData with content, exactly one signer
// identified by issuer and serial number, and authenticated attributes with exactly one
// contentType and one messageDigest.
std::optional<SignedData> parse_signed_data(Bytes content_info);

// SpcIndirectDataContent: the digest of a PE image and its algorithm.
struct IndirectData {
  HashAlgorithm hash = HashAlgorithm::Sha256;
  Bytes digest;
};
std::optional<IndirectData> parse_indirect_data(Bytes content);

struct CertificateFacts {
  Bytes issuer, serial;
  // The extended key usage purposes; no value when the certificate has no such extension.
  std::optional<std::vector<Bytes>> usages;
  bool has_usage(Bytes usage) const;
};
std::optional<CertificateFacts> parse_certificate(Bytes der);

// The certificate among `certificates` with that issuer and serial number.
std::optional<Bytes> find_certificate(const std::vector<Bytes>& certificates, Bytes issuer,
                                      Bytes serial);

}  // namespace quorvel
