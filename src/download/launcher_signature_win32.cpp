// The system's Authenticode check and the program's own check of the signer's chain. WinVerifyTrust
// judges the digest and the signature; its chain verdict is not enough everywhere (Wine accepts a
// self-signed certificate no store trusts), so the signer's chain is built here again, at the
// countersigned time when an RFC 3161 timestamp checks out.
#include <windows.h>
#include <winternl.h>

#include "net/sspi_handles.h"
// After the security headers sspi_handles.h sets up.
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "download/launcher_signature.h"
#include "download/timestamp_token.h"
#include "runtime/system_library.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char RFC3161_COUNTERSIGNATURE[] = "1.3.6.1.4.1.311.3.3.1";

// Both DLLs come from the system directory when the first file is checked (wintrust is no known DLL
// on every Windows, so it is never imported).
struct SignatureFunctions {
  decltype(&::WinVerifyTrust) WinVerifyTrust;
  decltype(&::CryptQueryObject) CryptQueryObject;
  decltype(&::CryptMsgOpenToDecode) CryptMsgOpenToDecode;
  decltype(&::CryptMsgUpdate) CryptMsgUpdate;
  decltype(&::CryptMsgGetParam) CryptMsgGetParam;
  decltype(&::CryptMsgControl) CryptMsgControl;
  decltype(&::CryptMsgClose) CryptMsgClose;
  decltype(&::CertFindCertificateInStore) CertFindCertificateInStore;
  decltype(&::CertGetNameStringW) CertGetNameStringW;
  decltype(&::CryptHashCertificate2) CryptHashCertificate2;
};

Error last_error() {
  return Error::os(static_cast<int32_t>(GetLastError()));
}

Result<SignatureFunctions> load_functions() {
  if (auto tls = load_security_functions(); !tls) return tls.take_error();  // the handle owners
  auto wintrust = load_system_library(L"wintrust.dll");
  if (!wintrust) return wintrust.take_error();
  auto crypt32 = load_system_library(L"crypt32.dll");
  if (!crypt32) return crypt32.take_error();
  SignatureFunctions f;
  const HMODULE c = *crypt32;
  if (!find_library_function(*wintrust, "WinVerifyTrust", f.WinVerifyTrust) ||
      !find_library_function(c, "CryptQueryObject", f.CryptQueryObject) ||
      !find_library_function(c, "CryptMsgOpenToDecode", f.CryptMsgOpenToDecode) ||
      !find_library_function(c, "CryptMsgUpdate", f.CryptMsgUpdate) ||
      !find_library_function(c, "CryptMsgGetParam", f.CryptMsgGetParam) ||
      !find_library_function(c, "CryptMsgControl", f.CryptMsgControl) ||
      !find_library_function(c, "CryptMsgClose", f.CryptMsgClose) ||
      !find_library_function(c, "CertFindCertificateInStore", f.CertFindCertificateInStore) ||
      !find_library_function(c, "CertGetNameStringW", f.CertGetNameStringW)) {
    return last_error();
  }
  // Without it no timestamp can be matched to its signature, and signatures count as untimestamped.
  find_library_function(c, "CryptHashCertificate2", f.CryptHashCertificate2);
  return f;
}

// Loaded once; a failure is reported to every caller.
const Result<SignatureFunctions>& functions() {
  static const Result<SignatureFunctions> loaded = load_functions();
  return loaded;
}

class CryptMessage {
 public:
  explicit CryptMessage(HCRYPTMSG message = nullptr) : message_(message) {}
  CryptMessage(const CryptMessage&) = delete;
  CryptMessage& operator=(const CryptMessage&) = delete;
  ~CryptMessage() {
    if (message_) functions()->CryptMsgClose(message_);
  }
  HCRYPTMSG get() const { return message_; }

 private:
  HCRYPTMSG message_;
};

// One parameter of a message, in a buffer aligned for the structure it holds.
struct MessageParam {
  std::vector<uint64_t> storage;
  DWORD size = 0;
  template <typename T>
  const T* as() const {
    return reinterpret_cast<const T*>(storage.data());
  }
  std::span<const uint8_t> bytes() const { return {as<uint8_t>(), size}; }
};

Result<MessageParam> message_param(HCRYPTMSG message, DWORD type) {
  MessageParam param;
  if (!functions()->CryptMsgGetParam(message, type, 0, nullptr, &param.size)) return last_error();
  param.storage.resize(param.size / sizeof(uint64_t) + 1);
  if (!functions()->CryptMsgGetParam(message, type, 0, param.storage.data(), &param.size))
    return last_error();
  return param;
}

// The certificate in `store` that signed (issuer and serial of) `signer`.
CertContext signer_certificate(HCERTSTORE store, const CERT_NAME_BLOB& issuer,
                               const CRYPT_INTEGER_BLOB& serial) {
  CERT_INFO wanted = {};
  wanted.Issuer = issuer;
  wanted.SerialNumber = serial;
  return CertContext(functions()->CertFindCertificateInStore(
      store, ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
}

// Revocation cannot be learnt offline and is not asked for.
constexpr DWORD REVOCATION_UNKNOWN =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The chain of `cert` for `usage` at `when` (now when null), with `extra` offering intermediates.
ChainVerdict chain_verdict(PCCERT_CONTEXT cert, HCERTSTORE extra, const char* usage,
                           const FILETIME* when) {
  LPSTR usages[] = {const_cast<LPSTR>(usage)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT raw = nullptr;
  if (!crypt32().CertGetCertificateChain(nullptr, cert, const_cast<FILETIME*>(when), extra, &para,
                                         0, nullptr, &raw))
    return ChainVerdict::Untrusted;
  CertChain chain(raw);
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  const DWORD problems = raw->TrustStatus.dwErrorStatus & ~REVOCATION_UNKNOWN;
  if (problems == CERT_TRUST_IS_NOT_TIME_VALID) return ChainVerdict::Expired;
  if (problems != 0) return ChainVerdict::Untrusted;
  if (!crypt32().CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, raw, &policy, &status) ||
      status.dwError != 0)
    return ChainVerdict::Untrusted;
  return ChainVerdict::Trusted;
}

const wchar_t* cng_name(ImprintHash hash) {
  switch (hash) {
    case ImprintHash::Sha1:
      return L"SHA1";
    case ImprintHash::Sha256:
      return L"SHA256";
    case ImprintHash::Sha384:
      return L"SHA384";
    case ImprintHash::Sha512:
      return L"SHA512";
  }
  return L"";
}

// The time an RFC 3161 countersignature on `signer` vouches for, when its signature holds, it
// imprints the signer's signature value and its signer chains to a trusted time-stamping root.
std::optional<FILETIME> countersigned_time(const CMSG_SIGNER_INFO& signer) {
  const CRYPT_ATTRIBUTE* token = nullptr;
  for (DWORD i = 0; i < signer.UnauthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = signer.UnauthAttrs.rgAttr[i];
    if (std::string_view(attr.pszObjId) == RFC3161_COUNTERSIGNATURE && attr.cValue == 1)
      token = &attr;
  }
  const SignatureFunctions& f = *functions();
  if (token == nullptr || f.CryptHashCertificate2 == nullptr) return std::nullopt;
  CryptMessage message(f.CryptMsgOpenToDecode(ENCODING, 0, 0, 0, nullptr, nullptr));
  if (!message.get() ||
      !f.CryptMsgUpdate(message.get(), token->rgValue[0].pbData, token->rgValue[0].cbData, TRUE))
    return std::nullopt;
  auto content = message_param(message.get(), CMSG_CONTENT_PARAM);
  auto info = content ? parse_timestamp_info(content->bytes()) : std::nullopt;
  if (!info) return std::nullopt;

  std::vector<uint8_t> digest(info->hashed.size());
  DWORD digest_size = static_cast<DWORD>(digest.size());
  if (!f.CryptHashCertificate2(cng_name(info->hash), 0, nullptr, signer.EncryptedHash.pbData,
                               signer.EncryptedHash.cbData, digest.data(), &digest_size) ||
      digest != info->hashed)
    return std::nullopt;

  CertStore store(crypt32().CertOpenStore(CERT_STORE_PROV_MSG, ENCODING, 0, 0, message.get()));
  auto tsa = message_param(message.get(), CMSG_SIGNER_CERT_INFO_PARAM);
  if (!store.get() || !tsa) return std::nullopt;
  const CERT_INFO* tsa_info = tsa->as<CERT_INFO>();
  CertContext tsa_cert = signer_certificate(store.get(), tsa_info->Issuer, tsa_info->SerialNumber);
  if (!tsa_cert.get() ||
      !f.CryptMsgControl(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, tsa_cert.get()->pCertInfo))
    return std::nullopt;
  const FILETIME when{static_cast<DWORD>(info->time), static_cast<DWORD>(info->time >> 32)};
  if (chain_verdict(tsa_cert.get(), store.get(), szOID_PKIX_KP_TIMESTAMP_SIGNING, &when) !=
      ChainVerdict::Trusted)
    return std::nullopt;
  return when;
}

std::string common_name(PCCERT_CONTEXT cert) {
  const SignatureFunctions& f = *functions();
  void* oid = const_cast<char*>(szOID_COMMON_NAME);
  const DWORD size = f.CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
  std::wstring name(size, L'\0');
  f.CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), size);
  name.resize(name.empty() ? 0 : size - 1);
  return utf16_to_utf8(name).value_or(std::string());
}

int32_t verify_trust(const std::string& path) {
  if (!functions()) {  // never 0, which would mean a sound signature
    const int32_t code = functions().error().code();
    return code != 0 ? code : static_cast<int32_t>(TRUST_E_PROVIDER_UNKNOWN);
  }
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
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result =
      functions()->WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  functions()->WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

Result<SignerFacts> inspect_signer(const std::string& path) {
  if (!functions()) return functions().error();
  const SignatureFunctions& f = *functions();
  auto wide = utf8_to_utf16(path);
  if (!wide) return Error::kind(ErrorKind::InvalidInput, "path is not valid UTF-8");
  HCERTSTORE raw_store = nullptr;
  HCRYPTMSG raw_message = nullptr;
  if (!f.CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide->c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, nullptr, nullptr, nullptr, &raw_store, &raw_message, nullptr))
    return last_error();
  CertStore store(raw_store);
  CryptMessage message(raw_message);
  auto signer_param = message_param(message.get(), CMSG_SIGNER_INFO_PARAM);
  if (!signer_param) return signer_param.take_error();
  const CMSG_SIGNER_INFO* signer = signer_param->as<CMSG_SIGNER_INFO>();
  CertContext cert = signer_certificate(store.get(), signer->Issuer, signer->SerialNumber);
  if (!cert.get()) return last_error();

  SignerFacts facts;
  facts.subject = common_name(cert.get());
  const std::optional<FILETIME> signed_at = countersigned_time(*signer);
  facts.timestamped = signed_at.has_value();
  facts.chain = chain_verdict(cert.get(), store.get(), szOID_PKIX_KP_CODE_SIGNING,
                              signed_at ? &*signed_at : nullptr);
  // At the countersigned time the certificate was valid or it was not; expiry since is no fault.
  if (facts.timestamped && facts.chain == ChainVerdict::Expired)
    facts.chain = ChainVerdict::Untrusted;
  return facts;
}

}  // namespace

SignatureInspector system_signature_inspector() {
  return {verify_trust, inspect_signer};
}

}  // namespace quorvel
