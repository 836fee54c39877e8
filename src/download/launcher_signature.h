// The publisher's code signature on the downloaded launcher, checked before it is installed and
// started: whoever can write to the download server can also serve a matching checksum, but cannot
// sign with the publisher's key. The decision is portable; the system's signature and certificate
// functions sit behind SignatureInspector, handed in by the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/pe_signature.h"
#include "runtime/error.h"

namespace quorvel {

// The signer's certificate chain as the program built it: at the countersigned time when the
// signature carries a timestamp that checks out, else now.
enum class ChainVerdict : uint8_t {
  Trusted,    // to a root the system trusts, valid for code signing at that time
  Untrusted,  // no trusted root, a broken link, the wrong usage, or not valid at the signing time
  Expired,    // only outside its validity now, with no timestamp to say when it was signed
};

struct SignerFacts {
  std::string subject;  // the signer certificate's subject common name, UTF-8
  ChainVerdict chain = ChainVerdict::Untrusted;
  bool timestamped = false;    // by a timestamp whose every link holds
  bool digests_match = false;  // image, signed content and signature over the attributes
  // Of a trusted chain: the common name of the CA that issued the signer's certificate, and the
  // SHA-256 of each CA certificate in it, from that CA to the root, 32 bytes each.
  std::string issuer;
  std::vector<uint8_t> ca_sha256;
};

// What the system says about one file. `inspect_signer` judges the signature `where` in the
// file's contents: its digests and the signer's chain (authenticode.h); `verify_trust` is the
// system's own Authenticode check (0 when it accepts the file, else its HRESULT), which is where
// Windows' policies have their say.
struct SignatureInspector {
  std::function<Result<SignerFacts>(std::vector<uint8_t> file, const PeSignature& where)>
      inspect_signer;
  std::function<int32_t(const std::string& path)> verify_trust;
};

// The system's own inspector; the native build has none and fails every file.
SignatureInspector system_signature_inspector();

// The names the launcher may be signed by, fixed when the program is built; empty turns the check
// off.
std::span<const std::string_view> launcher_publishers();
// The SHA-256 fingerprints (fingerprint.h) of the CAs one of which the signer's chain must hold,
// fixed when the program is built; empty: any CA.
std::span<const std::string_view> launcher_issuers();

// Why the file at `path` must not run, as the line the program prints (signature_reasons.h); no
// value when it is signed by one of `publishers` through a trusted chain that holds one of
// `issuers` (when there are any) and the system agrees.
std::optional<std::string> launcher_signature_problem(
    const SignatureInspector& inspector, const std::string& path,
    std::span<const std::string_view> publishers, std::span<const std::string_view> issuers = {});

}  // namespace quorvel
