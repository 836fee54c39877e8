// The Schannel credential structure for a protocol mask. Windows 10 build 17763 and later take
// SCH_CREDENTIALS with disabled-protocol bits; older systems only understand SCHANNEL_CRED with
// enabled-protocol bits. Either way: the mask's versions only, strong cipher suites only, and never
// a client certificate chosen by the system.
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <winternl.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <cstdint>
#include <optional>

#include "runtime/windows_version.h"

namespace quorvel {

enum class CredentialStructure : uint8_t { SchannelCred, SchCredentials };

// SCH_CREDENTIALS from Windows 10 build 17763 on (also for any later major version).
CredentialStructure credential_structure_for(std::optional<WindowsVersion> version);

// The credential data handed to AcquireCredentialsHandle; self-contained (the SCH_CREDENTIALS form
// points into itself), hence neither copyable nor movable.
class SchannelCredentials {
 public:
  SchannelCredentials(uint32_t protocol_mask, CredentialStructure structure);
  SchannelCredentials(const SchannelCredentials&) = delete;
  SchannelCredentials& operator=(const SchannelCredentials&) = delete;

  CredentialStructure structure() const { return structure_; }
  void* auth_data();
  const SCHANNEL_CRED& schannel_cred() const { return schannel_cred_; }
  const SCH_CREDENTIALS& sch_credentials() const { return sch_credentials_; }
  const TLS_PARAMETERS& tls_parameters() const { return tls_parameters_; }

 private:
  CredentialStructure structure_;
  SCHANNEL_CRED schannel_cred_{};
  SCH_CREDENTIALS sch_credentials_{};
  TLS_PARAMETERS tls_parameters_{};
};

}  // namespace quorvel
