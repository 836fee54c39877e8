#include "download/launcher_signature.h"

#include <algorithm>

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
  const auto code = static_cast<uint32_t>(result);
  if (among(NO_SIGNATURE_CODES, code)) return "no signature";
  if (among(DIGEST_CODES, code)) return "digest mismatch";
  if (among(UNTRUSTED_CODES, code)) return "untrusted chain";
  if (code == EXPIRED_CODE) return "expired without a timestamp";
  return "signature rejected (" + error_text(Error::os(result)) + ")";
}

}  // namespace

std::optional<std::string> launcher_signature_problem(
    const SignatureInspector& inspector, const std::string& path,
    std::span<const std::string_view> publishers) {
  if (const int32_t trust = inspector.verify_trust(path); trust != 0) return trust_problem(trust);
  // The system's verdict covers the digest and the signature; the chain and the name are checked
  // here, because some systems accept any certificate at that step.
  auto signer = inspector.inspect_signer(path);
  if (!signer) return "signature unreadable (" + error_text(signer.error()) + ")";
  switch (signer->chain) {
    case ChainVerdict::Trusted:
      break;
    case ChainVerdict::Untrusted:
      return std::string(signer->timestamped ? "untrusted chain at the countersigned time"
                                             : "untrusted chain");
    case ChainVerdict::Expired:
      return std::string("expired without a timestamp");
  }
  if (std::ranges::find(publishers, std::string_view(signer->subject)) == publishers.end())
    return "wrong publisher: signed by \"" + signer->subject + "\"";
  return std::nullopt;
}

}  // namespace quorvel
