#include "download/launcher_signature.h"

namespace quorvel {

// Only Windows can check an Authenticode signature the way players' machines do.
SignatureInspector system_signature_inspector() {
  return {[](std::vector<uint8_t>, const PeSignature&) -> Result<SignerFacts> {
            return Error::kind(ErrorKind::Other, "no Authenticode support here");
          },
          [](const std::string&) { return static_cast<int32_t>(0x800B0001); }};  // provider unknown
}

}  // namespace quorvel
