#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "net/server_validation.h"

#include <cstring>

#include "net/clock_check.h"
#include "net/sspi_handles.h"

namespace quorvel {

namespace {

constexpr DWORD CHAIN_FLAGS = CERT_CHAIN_CACHE_END_CERT |
                              CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                              CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY;
static_assert(CHAIN_FLAGS == 0xC0000001);
static_assert(CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS == 0x0F00);
static_assert(sizeof(CERT_CHAIN_PARA) == 96);
static_assert(sizeof(CERT_CHAIN_POLICY_PARA) == 16);
static_assert(sizeof(SSL_EXTRA_CERT_CHAIN_POLICY_PARA) == 24);
static_assert(sizeof(CERT_CHAIN_POLICY_STATUS) == 24);

// Revocation that could not be checked: what the policy flags 0x0F00 tell the policy to ignore.
constexpr DWORD REVOCATION_UNKNOWN =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// SECURITY_FLAG_IGNORE_REVOCATION of the SSL policy's per-check flags (wininet.h).
constexpr DWORD IGNORE_REVOCATION_CHECK = 0x00000080;

Error last_error() {
  return Error::os(static_cast<int32_t>(GetLastError()));
}

// Whether `store` holds a certificate byte-for-byte equal to one of the chain's last simple chain.
bool chain_contains_any(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE store) {
  if (chain->cChain == 0) return false;
  const CERT_SIMPLE_CHAIN* last = chain->rgpChain[chain->cChain - 1];
  for (DWORD i = 0; i < last->cElement; ++i) {
    PCCERT_CONTEXT element = last->rgpElement[i]->pCertContext;
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = crypt32().CertEnumCertificatesInStore(store, candidate)) != nullptr) {
      if (candidate->cbCertEncoded == element->cbCertEncoded &&
          std::memcmp(candidate->pbCertEncoded, element->pbCertEncoded, element->cbCertEncoded) ==
              0) {
        crypt32().CertFreeCertificateContext(candidate);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool fails_only_on_time(DWORD error_status, DWORD ignored) {
  constexpr DWORD TIME = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
  return (error_status & CERT_TRUST_IS_NOT_TIME_VALID) != 0 &&
         chain_status_error(error_status & ~TIME, ignored) == 0;
}

int32_t chain_status_error(DWORD error_status, DWORD ignored) {
  DWORD problems = error_status & ~(REVOCATION_UNKNOWN | ignored);
  if (problems == 0) return 0;
  struct Mapping {
    DWORD bits;
    HRESULT error;
  };
  static constexpr Mapping MAPPINGS[] = {
      {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED},
      {CERT_TRUST_IS_EXPLICIT_DISTRUST, TRUST_E_EXPLICIT_DISTRUST},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_HAS_WEAK_SIGNATURE, TRUST_E_CERT_SIGNATURE},
      {CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC, CERT_E_CHAINING},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
      {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
      {CERT_TRUST_IS_NOT_TIME_NESTED, CERT_E_VALIDITYPERIODNESTING},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
      {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS},
      {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, CERT_E_CRITICAL},
      {CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
           CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT |
           CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT | CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
       CERT_E_INVALID_NAME},
      {CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_POLICY_CONSTRAINTS |
           CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY,
       CERT_E_INVALID_POLICY},
  };
  for (const Mapping& m : MAPPINGS) {
    if (problems & m.bits) return static_cast<int32_t>(m.error);
  }
  return static_cast<int32_t>(TRUST_E_FAIL);
}

bool is_revocation_unknown(int32_t policy_error) {
  return policy_error == static_cast<int32_t>(CERT_E_REVOCATION_FAILURE) ||
         policy_error == static_cast<int32_t>(CRYPT_E_NO_REVOCATION_CHECK) ||
         policy_error == static_cast<int32_t>(CRYPT_E_REVOCATION_OFFLINE);
}

Result<Validation> verify_server_chain(CtxtHandle* context, HCERTSTORE extra_roots,
                                       const std::wstring& host, const TlsClientSettings& settings,
                                       bool final_step) {
  PCCERT_CONTEXT raw_cert = nullptr;
  SECURITY_STATUS status =
      sspi().QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw_cert);
  if (status != SEC_E_OK) {
    if (!final_step) return Validation::Postponed;
    return Error::os(status);
  }
  CertContext cert(raw_cert);

  // The certificates the server sent, plus the extra roots, are what the chain is built from
  // besides the system's stores.
  CertStore duplicated;
  HCERTSTORE additional = extra_roots;
  if (cert.get()->hCertStore) {
    duplicated = CertStore(crypt32().CertDuplicateStore(cert.get()->hCertStore));
    additional = duplicated.get();
    PCCERT_CONTEXT root = nullptr;
    while ((root = crypt32().CertEnumCertificatesInStore(extra_roots, root)) != nullptr) {
      if (!crypt32().CertAddCertificateContextToStore(additional, root,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        Error error = last_error();
        crypt32().CertFreeCertificateContext(root);
        return error;
      }
    }
  }

  static LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH),
                           const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                           const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof(chain_para);
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 3;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;

  PCCERT_CHAIN_CONTEXT raw_chain = nullptr;
  if (!crypt32().CertGetCertificateChain(nullptr, cert.get(), nullptr, additional, &chain_para,
                                         CHAIN_FLAGS, nullptr, &raw_chain)) {
    return last_error();
  }
  CertChain chain(raw_chain);

  DWORD policy_flags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  DWORD accepted_status = 0;
  if (chain_contains_any(chain.get(), extra_roots)) {
    policy_flags |= CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
    accepted_status = CERT_TRUST_IS_UNTRUSTED_ROOT;
  }

  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{};
  ssl_para.cbSize = sizeof(ssl_para);
  ssl_para.dwAuthType = AUTHTYPE_SERVER;
  ssl_para.fdwChecks = 0;
  ssl_para.pwszServerName =
      settings.accept_invalid_hostnames ? nullptr : const_cast<wchar_t*>(host.c_str());
  CERT_CHAIN_POLICY_PARA policy_para{};
  policy_para.cbSize = sizeof(policy_para);
  policy_para.dwFlags = policy_flags;
  policy_para.pvExtraPolicyPara = &ssl_para;
  CERT_CHAIN_POLICY_STATUS policy_status{};
  policy_status.cbSize = sizeof(policy_status);
  if (!crypt32().CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy_para,
                                                  &policy_status)) {
    return last_error();
  }

  if (settings.accept_invalid_certs) return Validation::Accepted;
  if (settings.disable_built_in_roots) {
    if (chain_contains_any(chain.get(), extra_roots)) return Validation::Accepted;
    return Error::other("unable to find any user-specified roots in the final cert chain");
  }

  auto verdict = static_cast<int32_t>(policy_status.dwError);
  DWORD trust = chain.get()->TrustStatus.dwErrorStatus;
  // Some SSL policies (Wine's) disregard the ignore-revocation-unknown flags and reject a chain
  // whose revocation could not be checked from the cache before they even compare the host name.
  // When that is all the chain's own status holds, the policy is asked again with revocation
  // ignored through its per-check flag, so the host name is still checked.
  if (verdict != 0 && is_revocation_unknown(verdict) &&
      chain_status_error(trust, accepted_status) == 0) {
    ssl_para.fdwChecks = IGNORE_REVOCATION_CHECK;
    policy_status = {};
    policy_status.cbSize = sizeof(policy_status);
    if (!crypt32().CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(),
                                                    &policy_para, &policy_status)) {
      return last_error();
    }
    verdict = static_cast<int32_t>(policy_status.dwError);
  }
  // Defence in depth: Windows' SSL policy already rejects every chain with a trust problem besides
  // unknown revocation, but a policy that passes one (Wine's accepts a leaf from an unknown issuer
  // when no intermediate was sent) must not let it through.
  if (verdict == 0) verdict = chain_status_error(trust, accepted_status);
  if (verdict == 0) return Validation::Accepted;
  if (verdict == static_cast<int32_t>(CERT_E_EXPIRED) &&
      fails_only_on_time(trust, accepted_status)) {
    if (std::optional<std::string> note = wrong_clock_note(clock_now(), build_time())) {
      return Error::other(error_text(Error::os(verdict)) + "; " + *note);
    }
  }
  return Error::os(verdict);
}

}  // namespace quorvel
