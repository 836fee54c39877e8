// The system's side of the launcher's signature check: crypt32's hashes, its check of one
// signature against a certificate's public key and its chain engine, for the program's own
// judgement (authenticode.h); then WinVerifyTrust, through which Windows' own policies have their
// say. Wine's WinVerifyTrust accepts signers no store trusts and never compares messageDigest, so
// its verdict alone is not enough; Windows' is kept for what only Windows knows.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <windows.h>
#include <winternl.h>

#include "net/crypt32_handles.h"
// After wincrypt.h.
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "download/authenticode.h"
#include "download/launcher_signature.h"
#include "runtime/system_library.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

// Chain building may fetch a missing intermediate or a root that the machine has not yet had from
// Windows Update: for this long per check, then only from the cache.
constexpr std::chrono::milliseconds FETCH_BUDGET{15'000};

// The end of the current check's time for fetching; set when the check starts.
class FetchBudget {
 public:
  void start() { end_.store(now() + FETCH_BUDGET.count(), std::memory_order_relaxed); }
  DWORD left_ms() const {
    return static_cast<DWORD>(std::max<int64_t>(0, end_.load(std::memory_order_relaxed) - now()));
  }

 private:
  static int64_t now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  std::atomic<int64_t> end_{0};
};

using WinVerifyTrustFunction = decltype(&::WinVerifyTrust);

// wintrust is no known DLL on every Windows, so it is never imported. A plain pointer in static
// storage: nothing that the process's exit destroys under a running check.
WinVerifyTrustFunction win_verify_trust() {
  static const WinVerifyTrustFunction function = []() -> WinVerifyTrustFunction {
    auto wintrust = load_system_library(L"wintrust.dll");
    return wintrust ? library_function<WinVerifyTrustFunction>(*wintrust, "WinVerifyTrust")
                    : nullptr;
  }();
  return function;
}

const wchar_t* cng_name(HashAlgorithm hash) {
  switch (hash) {
    case HashAlgorithm::Sha1:
      return L"SHA1";
    case HashAlgorithm::Sha256:
      return L"SHA256";
    case HashAlgorithm::Sha384:
      return L"SHA384";
    case HashAlgorithm::Sha512:
      return L"SHA512";
  }
  return L"";
}

bool fits(Bytes data) {
  return data.size() <= MAXDWORD;
}

std::optional<std::vector<uint8_t>> hash(HashAlgorithm algorithm, Bytes data) {
  std::vector<uint8_t> digest(digest_size(algorithm));
  DWORD size = static_cast<DWORD>(digest.size());
  if (!fits(data) ||
      !crypt32().CryptHashCertificate2(cng_name(algorithm), 0, nullptr, data.data(),
                                       static_cast<DWORD>(data.size()), digest.data(), &size) ||
      size != digest.size())
    return std::nullopt;
  return digest;
}

CertContext certificate_context(Bytes der) {
  if (!fits(der)) return CertContext();
  return CertContext(crypt32().CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                            static_cast<DWORD>(der.size())));
}

bool verify(Bytes certificate, Bytes signed_blob) {
  CertContext cert = certificate_context(certificate);
  if (!cert.get() || !fits(signed_blob)) return false;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(signed_blob.size()),
                       const_cast<BYTE*>(signed_blob.data())};
  return crypt32().CryptVerifyCertificateSignatureEx(
      0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB, &blob,
      CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY, &cert.get()->pCertInfo->SubjectPublicKeyInfo, 0,
      nullptr);
}

std::string common_name(PCCERT_CONTEXT cert) {
  void* oid = const_cast<char*>(szOID_COMMON_NAME);
  const DWORD size = crypt32().CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
  std::wstring name(size, L'\0');
  crypt32().CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), size);
  name.resize(name.empty() ? 0 : size - 1);
  return utf16_to_utf8(name).value_or(std::string());
}

std::string subject_name(Bytes certificate) {
  CertContext cert = certificate_context(certificate);
  return cert.get() ? common_name(cert.get()) : std::string();
}

// Revocation is not asked for: a launcher must install where no revocation server is reachable.
constexpr DWORD REVOCATION_UNKNOWN =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

BuiltChain chain(Bytes certificate, const std::vector<Bytes>& certificates, KeyUsage usage,
                 std::optional<int64_t> when, const FetchBudget& budget) {
  CertStore store(crypt32().CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  CertContext cert = certificate_context(certificate);
  if (!store.get() || !cert.get()) return {};
  for (Bytes other : certificates) {  // one that cannot be read is only not offered
    if (fits(other))
      crypt32().CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, other.data(),
                                                 static_cast<DWORD>(other.size()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr);
  }
  LPSTR usages[] = {const_cast<LPSTR>(usage == KeyUsage::CodeSigning
                                          ? szOID_PKIX_KP_CODE_SIGNING
                                          : szOID_PKIX_KP_TIMESTAMP_SIGNING)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  const DWORD left = budget.left_ms();
  para.dwUrlRetrievalTimeout = left;
  const DWORD flags = left > 0 ? 0 : CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
  FILETIME at{};
  if (when) at = {static_cast<DWORD>(*when), static_cast<DWORD>(*when >> 32)};
  PCCERT_CHAIN_CONTEXT raw = nullptr;
  if (!crypt32().CertGetCertificateChain(nullptr, cert.get(), when ? &at : nullptr, store.get(),
                                         &para, flags, nullptr, &raw))
    return {};
  CertChain built(raw);
  const DWORD problems = raw->TrustStatus.dwErrorStatus & ~REVOCATION_UNKNOWN;
  if (problems == CERT_TRUST_IS_NOT_TIME_VALID) return {ChainVerdict::Expired, {}, {}};
  if (problems != 0 || raw->cChain == 0) return {};
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!crypt32().CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, raw, &policy, &status) ||
      status.dwError != 0)
    return {};
  // The CAs' certificates as the chain holds them, hashed here rather than matched by crypt32.
  const CERT_SIMPLE_CHAIN& simple = *raw->rgpChain[0];
  const DWORD first_ca = simple.cElement > 1 ? 1 : 0;
  BuiltChain trusted{ChainVerdict::Trusted, common_name(simple.rgpElement[first_ca]->pCertContext),
                     std::vector<uint8_t>(32 * (simple.cElement - first_ca))};
  for (DWORD i = first_ca; i < simple.cElement; ++i) {
    const CERT_CONTEXT& ca = *simple.rgpElement[i]->pCertContext;
    DWORD size = 32;
    if (!crypt32().CryptHashCertificate2(L"SHA256", 0, nullptr, ca.pbCertEncoded, ca.cbCertEncoded,
                                         &trusted.ca_sha256[32 * (i - first_ca)], &size) ||
        size != 32) {
      trusted.ca_sha256.clear();  // no CA can be told, so none is one of the publisher's
      break;
    }
  }
  return trusted;
}

Result<SignerFacts> inspect_signer(std::vector<uint8_t> file, const PeSignature& where,
                                   FetchBudget& budget) {
  if (auto loaded = load_crypt32(); !loaded) return loaded.take_error();
  budget.start();
  const SignatureCrypto crypto{
      hash, verify,
      [&budget](Bytes cert, const std::vector<Bytes>& certs, KeyUsage usage,
                std::optional<int64_t> when) { return chain(cert, certs, usage, when, budget); },
      subject_name};
  return authenticode_facts(std::move(file), where, crypto);
}

int32_t verify_trust(const std::string& path, const FetchBudget& budget) {
  const WinVerifyTrustFunction verify_file = win_verify_trust();
  if (verify_file == nullptr) return static_cast<int32_t>(TRUST_E_PROVIDER_UNKNOWN);
  auto wide = utf8_to_utf16(path);
  if (!wide) return static_cast<int32_t>(TRUST_E_SUBJECT_FORM_UNKNOWN);
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide->c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // What the program's own chain fetched is in the cache by now; once the check's time is spent,
  // the cache is all WinVerifyTrust may use.
  data.dwProvFlags = budget.left_ms() > 0 ? 0 : WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = verify_file(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  verify_file(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

}  // namespace

SignatureInspector system_signature_inspector() {
  auto budget = std::make_shared<FetchBudget>();
  return {[budget](std::vector<uint8_t> file, const PeSignature& where) {
            return inspect_signer(std::move(file), where, *budget);
          },
          [budget](const std::string& path) { return verify_trust(path, *budget); }};
}

}  // namespace quorvel
