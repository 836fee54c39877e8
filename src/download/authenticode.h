// The launcher's Authenticode signature judged by the program itself, link by link: the PE
// image's digest against the signed content, the signed content against the signer's
// messageDigest, the signer's signature over its authenticated attributes, and an RFC 3161
// timestamp the same way. Systems differ in which of these their own check makes (Wine's
// WinVerifyTrust never compares messageDigest), so none is left to them. The hashes, the one
// public-key operation and the chain building come from the system through SignatureCrypto.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "download/launcher_signature.h"
#include "download/pe_signature.h"
#include "download/signed_data.h"

namespace quorvel {

enum class KeyUsage : uint8_t { CodeSigning, TimeStamping };

// A chain as built and, when trusted, its CAs as SignerFacts holds them: those above the
// certificate, or the certificate itself when it is self-signed.
struct BuiltChain {
  ChainVerdict verdict = ChainVerdict::Untrusted;
  std::string issuer;
  std::vector<uint8_t> ca_sha256;
};

struct SignatureCrypto {
  std::function<std::optional<std::vector<uint8_t>>(HashAlgorithm, Bytes data)> hash;
  // Whether the signature in `signed_blob` holds for the public key of `certificate`. The blob is
  // laid out as a certificate carries its own: SEQUENCE {what was signed, AlgorithmIdentifier,
  // BIT STRING signature}.
  std::function<bool(Bytes certificate, Bytes signed_blob)> verify;
  // The chain of `certificate` for `usage` at `when` (FILETIME ticks; now when none), with the
  // message's `certificates` offering intermediates.
  std::function<BuiltChain(Bytes certificate, const std::vector<Bytes>& certificates,
                           KeyUsage usage, std::optional<int64_t> when)>
      chain;
  std::function<std::string(Bytes certificate)> subject_name;  // the subject's common name
};

// A SignerInfo's signature as such a blob; no value for an algorithm other than RSA or ECDSA
// with one of the four hashes.
std::optional<std::vector<uint8_t>> signed_blob(const SignerInfo& signer);

// The facts of the signature `where` in `file` (consumed). An error when the signature cannot be
// read at all; a digest that does not hold is a fact (`digests_match` false).
Result<SignerFacts> authenticode_facts(std::vector<uint8_t> file, const PeSignature& where,
                                       const SignatureCrypto& crypto);

}  // namespace quorvel
