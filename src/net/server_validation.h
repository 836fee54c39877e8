// Validation of the server's certificate chain and host name with the CryptoAPI chain engine and
// the SSL chain policy, in place of Schannel's own (the context is made with manual validation).
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <winternl.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>

#include "net/tls_settings.h"
#include "runtime/error.h"

namespace quorvel {

enum class Validation : uint8_t { Accepted, Postponed };

// Validates the server of `context`. While handshake steps remain (`final_step` false) a server
// certificate that Schannel cannot give yet postpones the validation; after the last step it fails.
// `host` is the UTF-16 server name (NUL-terminated), `extra_roots` the settings' in-memory store.
Result<Validation> verify_server_chain(CtxtHandle* context, HCERTSTORE extra_roots,
                                       const std::wstring& host, const TlsClientSettings& settings,
                                       bool final_step);

// The error for a chain whose trust status holds problems besides unknown revocation status (the
// one kind of problem the policy is told to ignore); 0 when it holds none. `ignored` are further
// status bits the caller has accepted.
int32_t chain_status_error(DWORD error_status, DWORD ignored = 0);

// Whether a chain's trust status holds no problem besides a certificate outside its validity
// period (and unknown revocation, and the `ignored` bits).
bool fails_only_on_time(DWORD error_status, DWORD ignored = 0);

// Whether the policy's verdict `policy_error` is only about revocation status that could not be
// learnt, which the program accepts.
bool is_revocation_unknown(int32_t policy_error);

}  // namespace quorvel
