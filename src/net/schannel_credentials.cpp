#include "net/schannel_credentials.h"

namespace quorvel {

namespace {
constexpr DWORD CREDENTIAL_FLAGS = SCH_USE_STRONG_CRYPTO | SCH_CRED_NO_DEFAULT_CREDS;
static_assert(CREDENTIAL_FLAGS == 0x00400010);
}  // namespace

CredentialStructure credential_structure_for(std::optional<WindowsVersion> version) {
  if (version && (version->major > 10 || (version->major == 10 && version->build > 17762))) {
    return CredentialStructure::SchCredentials;
  }
  return CredentialStructure::SchannelCred;
}

SchannelCredentials::SchannelCredentials(uint32_t protocol_mask, CredentialStructure structure)
    : structure_(structure) {
  if (structure == CredentialStructure::SchCredentials) {
    // This form lists what is disabled, so everything outside the mask is switched off (TLS 1.3
    // included); an empty mask leaves the choice to the system.
    tls_parameters_.grbitDisabledProtocols = protocol_mask ? ~protocol_mask : 0;
    sch_credentials_.dwVersion = SCH_CREDENTIALS_VERSION;
    sch_credentials_.dwFlags = CREDENTIAL_FLAGS;
    sch_credentials_.cTlsParameters = 1;
    sch_credentials_.pTlsParameters = &tls_parameters_;
  } else {
    schannel_cred_.dwVersion = SCHANNEL_CRED_VERSION;
    schannel_cred_.grbitEnabledProtocols = protocol_mask;
    schannel_cred_.dwFlags = CREDENTIAL_FLAGS;
  }
}

void* SchannelCredentials::auth_data() {
  if (structure_ == CredentialStructure::SchCredentials) return &sch_credentials_;
  return &schannel_cred_;
}

}  // namespace quorvel
