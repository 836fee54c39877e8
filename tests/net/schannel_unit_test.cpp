// The parts of the TLS client that need no server: the credential structure per Windows version and
// the judgement of a chain's trust status.
#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "net/schannel_credentials.h"
#include "net/server_validation.h"
#include "net/sspi.h"
#include "net/sspi_handles.h"

namespace quorvel {
namespace {

std::wstring lowercase(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The full path of a loaded module, lower case; empty when the module is not loaded.
std::wstring loaded_path(const wchar_t* name) {
  HMODULE module = GetModuleHandleW(name);
  if (module == nullptr) return {};
  wchar_t file[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, file, MAX_PATH);
  return lowercase(std::wstring(file, length));
}

std::wstring in_system_directory(const wchar_t* name) {
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  return lowercase(std::wstring(directory, length) + L"\\" + name);
}

TEST(SecurityFunctions, AreLoadedOnceFromTheSystemDirectory) {
  auto first = load_security_functions();
  ASSERT_TRUE(first) << error_text(first.error());
  auto second = load_security_functions();
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  EXPECT_EQ(&sspi(), *first);
  EXPECT_NE(sspi().InitializeSecurityContextW, nullptr);
  EXPECT_NE(sspi().DecryptMessage, nullptr);
  EXPECT_EQ(loaded_path(L"secur32.dll"), in_system_directory(L"secur32.dll"));
  EXPECT_EQ(loaded_path(L"crypt32.dll"), in_system_directory(L"crypt32.dll"));
}

TEST(SecurityFunctions, CertificateFunctionsWorkOnAMemoryStore) {
  ASSERT_TRUE(load_security_functions());
  // Every entry is the DLL's own export, not a stand-in.
  HMODULE module = GetModuleHandleW(L"crypt32.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(crypt32().CertGetCertificateChain),
            reinterpret_cast<void*>(GetProcAddress(module, "CertGetCertificateChain")));
  EXPECT_EQ(reinterpret_cast<void*>(crypt32().CertVerifyCertificateChainPolicy),
            reinterpret_cast<void*>(GetProcAddress(module, "CertVerifyCertificateChainPolicy")));

  CertStore store(crypt32().CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  ASSERT_NE(store.get(), nullptr);
  EXPECT_EQ(crypt32().CertEnumCertificatesInStore(store.get(), nullptr), nullptr);
  // Not a certificate: refused, with the system's reason.
  const BYTE garbage[] = {0x30, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(crypt32().CertCreateCertificateContext(X509_ASN_ENCODING, garbage, sizeof(garbage)),
            nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

TEST(CredentialStructure, Windows10Build17763AndLaterGetSchCredentials) {
  EXPECT_EQ(credential_structure_for(WindowsVersion{10, 0, 17763}),
            CredentialStructure::SchCredentials);
  EXPECT_EQ(credential_structure_for(WindowsVersion{10, 0, 22631}),
            CredentialStructure::SchCredentials);
  EXPECT_EQ(credential_structure_for(WindowsVersion{11, 0, 0}),
            CredentialStructure::SchCredentials);
}

TEST(CredentialStructure, OlderSystemsAndUnknownVersionGetSchannelCred) {
  EXPECT_EQ(credential_structure_for(WindowsVersion{10, 0, 17762}),
            CredentialStructure::SchannelCred);
  EXPECT_EQ(credential_structure_for(WindowsVersion{6, 1, 7601}),
            CredentialStructure::SchannelCred);
  EXPECT_EQ(credential_structure_for(WindowsVersion{6, 3, 99999}),
            CredentialStructure::SchannelCred);
  EXPECT_EQ(credential_structure_for(std::nullopt), CredentialStructure::SchannelCred);
}

TEST(CredentialStructure, SchCredentialsDisableEverythingOutsideTheMask) {
  SchannelCredentials credentials(0xA80, CredentialStructure::SchCredentials);
  const SCH_CREDENTIALS& c = credentials.sch_credentials();
  EXPECT_EQ(credentials.auth_data(), static_cast<const void*>(&c));
  EXPECT_EQ(c.dwVersion, 5u);
  EXPECT_EQ(c.dwCredFormat, 0u);
  EXPECT_EQ(c.cCreds, 0u);
  EXPECT_EQ(c.paCred, nullptr);
  EXPECT_EQ(c.hRootStore, nullptr);
  EXPECT_EQ(c.cMappers, 0u);
  EXPECT_EQ(c.dwSessionLifespan, 0u);
  EXPECT_EQ(c.dwFlags, 0x00400010u);
  ASSERT_EQ(c.cTlsParameters, 1u);
  ASSERT_EQ(c.pTlsParameters, &credentials.tls_parameters());
  EXPECT_EQ(c.pTlsParameters->grbitDisabledProtocols, 0xFFFFF57Fu);
  EXPECT_EQ(c.pTlsParameters->cAlpnIds, 0u);
  EXPECT_EQ(c.pTlsParameters->cDisabledCrypto, 0u);
  EXPECT_EQ(c.pTlsParameters->dwFlags, 0u);

  SchannelCredentials empty(0, CredentialStructure::SchCredentials);
  EXPECT_EQ(empty.tls_parameters().grbitDisabledProtocols, 0u);
}

TEST(CredentialStructure, SchannelCredEnablesTheMask) {
  SchannelCredentials credentials(0xA80, CredentialStructure::SchannelCred);
  const SCHANNEL_CRED& c = credentials.schannel_cred();
  EXPECT_EQ(credentials.auth_data(), static_cast<const void*>(&c));
  EXPECT_EQ(c.dwVersion, 4u);
  EXPECT_EQ(c.cCreds, 0u);
  EXPECT_EQ(c.grbitEnabledProtocols, 0xA80u);
  EXPECT_EQ(c.dwFlags, 0x00400010u);
  EXPECT_EQ(c.cSupportedAlgs, 0u);
  EXPECT_EQ(c.dwMinimumCipherStrength, 0u);
  EXPECT_EQ(c.dwMaximumCipherStrength, 0u);
  EXPECT_EQ(c.hRootStore, nullptr);
}

TEST(RunningWindowsVersion, ComesFromNtdll) {
  auto version = running_windows_version();
  ASSERT_TRUE(version.has_value());
  EXPECT_GE(version->major, 6u);
}

TEST(ChainStatus, UnknownRevocationAloneIsNoProblem) {
  EXPECT_EQ(chain_status_error(0), 0);
  EXPECT_EQ(chain_status_error(CERT_TRUST_REVOCATION_STATUS_UNKNOWN), 0);
  EXPECT_EQ(
      chain_status_error(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION),
      0);
}

TEST(ChainStatus, EveryOtherProblemMapsToItsCertificateError) {
  auto code = [](HRESULT h) { return static_cast<int32_t>(h); };
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_PARTIAL_CHAIN), code(CERT_E_CHAINING));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_REVOCATION_STATUS_UNKNOWN),
            code(CERT_E_CHAINING));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_UNTRUSTED_ROOT), code(CERT_E_UNTRUSTEDROOT));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_NOT_TIME_VALID), code(CERT_E_EXPIRED));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_TIME_VALID),
            code(CRYPT_E_REVOKED));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_NOT_SIGNATURE_VALID), code(TRUST_E_CERT_SIGNATURE));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_NOT_VALID_FOR_USAGE), code(CERT_E_WRONG_USAGE));
  EXPECT_EQ(chain_status_error(CERT_TRUST_INVALID_BASIC_CONSTRAINTS),
            code(TRUST_E_BASIC_CONSTRAINTS));
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_EXPLICIT_DISTRUST), code(TRUST_E_EXPLICIT_DISTRUST));
  EXPECT_EQ(chain_status_error(CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT),
            code(CERT_E_INVALID_NAME));
  EXPECT_EQ(chain_status_error(0x00200000 /* a bit with no mapping of its own */),
            code(TRUST_E_FAIL));
}

TEST(ChainStatus, AcceptedBitsAreLeftOut) {
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_TRUST_IS_UNTRUSTED_ROOT), 0);
  EXPECT_EQ(chain_status_error(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_TIME_VALID,
                               CERT_TRUST_IS_UNTRUSTED_ROOT),
            static_cast<int32_t>(CERT_E_EXPIRED));
}

TEST(ChainStatus, OnlyRevocationVerdictsCountAsRevocationUnknown) {
  EXPECT_TRUE(is_revocation_unknown(static_cast<int32_t>(CERT_E_REVOCATION_FAILURE)));
  EXPECT_TRUE(is_revocation_unknown(static_cast<int32_t>(CRYPT_E_NO_REVOCATION_CHECK)));
  EXPECT_TRUE(is_revocation_unknown(static_cast<int32_t>(CRYPT_E_REVOCATION_OFFLINE)));
  EXPECT_FALSE(is_revocation_unknown(static_cast<int32_t>(CRYPT_E_REVOKED)));
  EXPECT_FALSE(is_revocation_unknown(static_cast<int32_t>(CERT_E_UNTRUSTEDROOT)));
  EXPECT_FALSE(is_revocation_unknown(0));
}

}  // namespace
}  // namespace quorvel
