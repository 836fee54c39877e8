// The parts of the TLS client that need no TLS server: the credential structure per Windows
// version, the judgement of a chain's trust status, and a scripted Schannel for what Wine's cannot
// do (renegotiate, honour the credential structure).
#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <optional>
#include <string>

#include "net/schannel_credentials.h"
#include "net/secure_stream.h"
#include "net/server_validation.h"
#include "net/sspi.h"
#include "net/sspi_handles.h"
#include "net/tcp_connection.h"
#include "runtime/task.h"
#include "support/security_functions_swap.h"
#include "support/system_call_swap.h"

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

// A scripted Schannel and chain engine. Each byte from the server is one message: 'S' ends the
// first handshake and brings certificate 1, 'R' asks for a renegotiation, 'N' ends it and brings
// certificate 2, which the chain policy rejects; 'D' is a record holding "secret".
namespace scripted {

int certificate = 0;  // the server certificate the context holds; 0 before the server's first
CERT_CONTEXT certificates[2] = {};
CERT_CHAIN_CONTEXT chains[2] = {};
DWORD credential_version = 0;  // what AcquireCredentialsHandleW was handed
DWORD credential_flags = 0;
DWORD protocols = 0;  // enabled (SCHANNEL_CRED) or disabled (SCH_CREDENTIALS) protocol bits
char client_hello[] = "hello";
char secret[] = "secret";
WindowsVersion version;

SECURITY_STATUS SEC_ENTRY acquire(SEC_WCHAR*, SEC_WCHAR*, unsigned long, void*, void* auth,
                                  SEC_GET_KEY_FN, void*, PCredHandle credentials, PTimeStamp) {
  credential_version = *static_cast<const DWORD*>(auth);  // both structures start with it
  if (credential_version == SCH_CREDENTIALS_VERSION) {
    const auto* c = static_cast<const SCH_CREDENTIALS*>(auth);
    credential_flags = c->dwFlags;
    protocols = c->cTlsParameters == 1 ? c->pTlsParameters->grbitDisabledProtocols : 0;
  } else {
    const auto* c = static_cast<const SCHANNEL_CRED*>(auth);
    credential_flags = c->dwFlags;
    protocols = c->grbitEnabledProtocols;
  }
  *credentials = {1, 1};
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY initialize(PCredHandle, PCtxtHandle context, SEC_WCHAR*, unsigned long,
                                     unsigned long, unsigned long, PSecBufferDesc input,
                                     unsigned long, PCtxtHandle new_context, PSecBufferDesc output,
                                     unsigned long*, PTimeStamp) {
  if (context == nullptr) {
    *new_context = {1, 1};
    output->pBuffers[0] = {5, SECBUFFER_TOKEN, client_hello};
    return SEC_I_CONTINUE_NEEDED;
  }
  SecBuffer* in = input->pBuffers;
  const char message = static_cast<const char*>(in[0].pvBuffer)[0];
  if (in[0].cbBuffer > 1) in[1] = {in[0].cbBuffer - 1, SECBUFFER_EXTRA, nullptr};
  if (message == 'S' && certificate == 0)
    certificate = 1;
  else if (message == 'N' && certificate == 1)
    certificate = 2;
  else
    return SEC_E_ILLEGAL_MESSAGE;
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY decrypt(PCtxtHandle, PSecBufferDesc message, unsigned long,
                                  unsigned long*) {
  SecBuffer* b = message->pBuffers;
  auto* bytes = static_cast<char*>(b[0].pvBuffer);
  const ULONG rest = b[0].cbBuffer - 1;
  const char type = bytes[0];
  b[0] = {1, SECBUFFER_STREAM_HEADER, bytes};
  if (type == 'D') b[1] = {6, SECBUFFER_DATA, secret};
  if (rest > 0) b[3] = {rest, SECBUFFER_EXTRA, bytes + 1};
  if (type == 'R') return SEC_I_RENEGOTIATE;
  return type == 'D' ? SEC_E_OK : SEC_E_DECRYPT_FAILURE;
}

SECURITY_STATUS SEC_ENTRY query(PCtxtHandle, unsigned long attribute, void* buffer) {
  if (attribute == SECPKG_ATTR_STREAM_SIZES) {
    *static_cast<SecPkgContext_StreamSizes*>(buffer) = {5, 16, 16384, 4, 16};
    return SEC_E_OK;
  }
  if (attribute != SECPKG_ATTR_REMOTE_CERT_CONTEXT || certificate == 0) return SEC_E_NO_CREDENTIALS;
  *static_cast<PCCERT_CONTEXT*>(buffer) = &certificates[certificate - 1];
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY done(void*) {
  return SEC_E_OK;
}

HCERTSTORE WINAPI open_store(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*) {
  return &chains;  // any non-null value: the store is only handed back
}
BOOL WINAPI close_store(HCERTSTORE, DWORD) {
  return TRUE;
}
PCCERT_CONTEXT WINAPI no_certificates(HCERTSTORE, PCCERT_CONTEXT) {
  return nullptr;
}
BOOL WINAPI free_certificate(PCCERT_CONTEXT) {
  return TRUE;
}
BOOL WINAPI get_chain(HCERTCHAINENGINE, PCCERT_CONTEXT certificate, LPFILETIME, HCERTSTORE,
                      PCERT_CHAIN_PARA, DWORD, LPVOID, PCCERT_CHAIN_CONTEXT* chain) {
  *chain = &chains[certificate - certificates];
  return TRUE;
}
VOID WINAPI free_chain(PCCERT_CHAIN_CONTEXT) {}
BOOL WINAPI verify_policy(LPCSTR, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA,
                          PCERT_CHAIN_POLICY_STATUS status) {
  status->dwError = chain == &chains[1] ? static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) : 0;
  return TRUE;
}

LONG WINAPI rtl_get_version(OSVERSIONINFOW* info) {
  info->dwMajorVersion = version.major;
  info->dwMinorVersion = version.minor;
  info->dwBuildNumber = version.build;
  return 0;
}
FARPROC WINAPI get_proc_address(HMODULE module, LPCSTR name) {
  if (std::string(name) == "RtlGetVersion") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&rtl_get_version));
  }
  return GetProcAddress(module, name);
}

}  // namespace scripted

class ScriptedSchannel : public ::testing::Test {
 protected:
  void SetUp() override {
    auto real = load_security_functions();
    ASSERT_TRUE(real) << error_text(real.error());
    table_ = **real;
    table_.AcquireCredentialsHandleW = scripted::acquire;
    table_.FreeCredentialsHandle = reinterpret_cast<FREE_CREDENTIALS_HANDLE_FN>(scripted::done);
    table_.InitializeSecurityContextW = scripted::initialize;
    table_.DeleteSecurityContext = reinterpret_cast<DELETE_SECURITY_CONTEXT_FN>(scripted::done);
    table_.FreeContextBuffer = scripted::done;
    table_.QueryContextAttributesW = scripted::query;
    table_.DecryptMessage = scripted::decrypt;
    Crypt32Functions c = crypt32();
    c.CertOpenStore = scripted::open_store;
    c.CertCloseStore = scripted::close_store;
    c.CertEnumCertificatesInStore = scripted::no_certificates;
    c.CertFreeCertificateContext = scripted::free_certificate;
    c.CertGetCertificateChain = scripted::get_chain;
    c.CertFreeCertificateChain = scripted::free_chain;
    c.CertVerifyCertificateChainPolicy = scripted::verify_policy;
    scripted_tables_.emplace(&table_, c);
    scripted::certificate = 0;
    scripted::version = {10, 0, 19045};
  }

  // A handshake with the scripted Schannel over a loopback connection whose server has already
  // sent `server_bytes`.
  Result<std::unique_ptr<SecureStream>> connect(const std::string& server_bytes) {
    EXPECT_TRUE(ensure_winsock().ok());
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    SocketAddress address = *parse_address_literal("127.0.0.1", 0);
    int length = sizeof(address.storage);
    bind(listener.get(), reinterpret_cast<sockaddr*>(&address.storage), address.length);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address.storage), &length);
    listen(listener.get(), 1);
    auto connection = block_on(connect_tcp("127.0.0.1", address.port()));
    if (!connection) return connection.take_error();
    server_ = UniqueSocket(accept(listener.get(), nullptr, nullptr));
    send(server_.get(), server_bytes.data(), static_cast<int>(server_bytes.size()), 0);
    return block_on(tls_connect(program_tls_settings(), "localhost", std::move(*connection)));
  }

  test::SystemCallSwap<decltype(&::GetProcAddress)> version_lookup_{&SystemCalls::get_proc_address,
                                                                    &scripted::get_proc_address};
  SecurityFunctionTableW table_{};
  std::optional<test::SecurityFunctionsSwap> scripted_tables_;
  UniqueSocket server_;
};

TEST_F(ScriptedSchannel, ARenegotiationValidatesTheCertificateItBrings) {
  auto stream = connect("SRND");
  ASSERT_TRUE(stream) << error_text(stream.error());
  uint8_t buffer[16];
  auto read = block_on((*stream)->read(buffer));
  ASSERT_FALSE(read.ok()) << "read " << *read << " bytes past an unchecked certificate";
  EXPECT_EQ(read.error(), Error::os(static_cast<int32_t>(CERT_E_UNTRUSTEDROOT)));
  EXPECT_EQ(scripted::certificate, 2);
}

TEST_F(ScriptedSchannel, CredentialsHandedToSchannelFollowTheWindowsVersion) {
  struct Case {
    WindowsVersion version;
    DWORD structure_version;
    DWORD protocols;
  };
  // SCH_CREDENTIALS list what is disabled: everything but TLS 1.0 to 1.2 (0xA80).
  for (const Case& c : {Case{{10, 0, 17763}, SCH_CREDENTIALS_VERSION, 0xFFFFF57F},
                        Case{{11, 0, 0}, SCH_CREDENTIALS_VERSION, 0xFFFFF57F},
                        Case{{10, 0, 17762}, SCHANNEL_CRED_VERSION, 0xA80},
                        Case{{6, 1, 7601}, SCHANNEL_CRED_VERSION, 0xA80}}) {
    scripted::version = c.version;
    scripted::certificate = 0;
    scripted::credential_version = 0;
    auto stream = connect("S");
    ASSERT_TRUE(stream) << error_text(stream.error());
    EXPECT_EQ(scripted::credential_version, c.structure_version) << c.version.build;
    EXPECT_EQ(scripted::protocols, c.protocols) << c.version.build;
    EXPECT_EQ(scripted::credential_flags, 0x00400010u) << c.version.build;
  }
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
