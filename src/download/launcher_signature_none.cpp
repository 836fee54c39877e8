#include "download/launcher_signature.h"

namespace quorvel {

// Only Windows can check an Authenticode signature the way players' machines do.
SignatureInspector system_signature_inspector() {
  auto unsupported = [] { return Error::kind(ErrorKind::Other, "no Authenticode support here"); };
  return {[](const std::string&) { return static_cast<int32_t>(0x800B0001); },  // provider unknown
          [unsupported](const std::string&) -> Result<SignerFacts> { return unsupported(); }};
}

}  // namespace quorvel
