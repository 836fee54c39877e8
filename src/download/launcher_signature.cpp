#include "download/launcher_signature.h"

#include <algorithm>

#include "download/files.h"
#include "download/fingerprint.h"
#include "download/signature_reasons.h"

namespace quorvel {

namespace {

// WinVerifyTrust's verdicts (winerror.h), by what they mean for a player.
constexpr uint32_t NO_SIGNATURE_CODES[] = {
    0x800B0100,  // TRUST_E_NOSIGNATURE
    0x800B0003,  // TRUST_E_SUBJECT_FORM_UNKNOWN: not a file that can carry a signature
};
constexpr uint32_t DIGEST_CODES[] = {
    0x80096010,  // TRUST_E_BAD_DIGEST
    0x80096004,  // TRUST_E_CERT_SIGNATURE
    0x8009200D,  // CRYPT_E_BAD_MSG
};
constexpr uint32_t UNTRUSTED_CODES[] = {
    0x800B0109,  // CERT_E_UNTRUSTEDROOT
    0x800B010A,  // CERT_E_CHAINING
    0x800B010D,  // CERT_E_UNTRUSTEDTESTROOT
    0x800B0111,  // TRUST_E_EXPLICIT_DISTRUST
    0x800B0110,  // CERT_E_WRONG_USAGE
    0x80092010,  // CRYPT_E_REVOKED
    0x80096019,  // TRUST_E_BASIC_CONSTRAINTS
};
constexpr uint32_t EXPIRED_CODE = 0x800B0101;  // CERT_E_EXPIRED

bool among(std::span<const uint32_t> codes, uint32_t code) {
  return std::ranges::find(codes, code) != codes.end();
}

std::string trust_problem(int32_t result) {
  using namespace signature_reason;
  const auto code = static_cast<uint32_t>(result);
  if (among(NO_SIGNATURE_CODES, code)) return std::string(NO_SIGNATURE);
  if (among(DIGEST_CODES, code)) return std::string(DIGEST_MISMATCH);
  if (among(UNTRUSTED_CODES, code)) return std::string(UNTRUSTED_CHAIN);
  if (code == EXPIRED_CODE) return std::string(EXPIRED);
  return rejected(error_text(Error::os(result)));
}

}  // namespace

std::optional<std::string> launcher_signature_problem(const SignatureInspector& inspector,
                                                      const std::string& path,
                                                      std::span<const std::string_view> publishers,
                                                      std::span<const std::string_view> issuers) {
  using namespace signature_reason;
  auto contents = read_whole_file(path);
  if (!contents) return unreadable(error_text(contents.error()));
  auto where = find_pe_signature(*contents);
  if (!where && where.error().kind() == ErrorKind::NotFound) return std::string(NO_SIGNATURE);
  if (!where) return unreadable(error_text(where.error()));
  auto signer = inspector.inspect_signer(std::move(*contents), *where);
  if (!signer) return unreadable(error_text(signer.error()));
  if (!signer->digests_match) return std::string(DIGEST_MISMATCH);
  switch (signer->chain) {
    case ChainVerdict::Trusted:
      break;
    case ChainVerdict::Untrusted:
      return std::string(signer->timestamped ? UNTRUSTED_AT_TIMESTAMP : UNTRUSTED_CHAIN);
    case ChainVerdict::Expired:
      return std::string(EXPIRED);
  }
  const bool named =
      std::ranges::find(publishers, std::string_view(signer->subject)) != publishers.end();
  if (!named || (!issuers.empty() && !any_fingerprint_names(issuers, signer->ca_sha256)))
    return wrong_publisher(named ? signer->issuer : signer->subject, named);
  // Last: the program's own chain has fetched what the system's check may need.
  if (const int32_t trust = inspector.verify_trust(path); trust != 0) return trust_problem(trust);
  return std::nullopt;
}

}  // namespace quorvel
