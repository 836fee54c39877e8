// The SSPI entry points of secur32.dll and the certificate functions of crypt32.dll, both taken
// from the system directory when the first connection needs them. Importing them would run their
// set-up before main on every start (secur32's providers, Kerberos and NTLM, 50-75 ms under Wine;
// crypt32 10-15 ms) before the window can show, and would let Windows look for them in the
// program's own folder first, typically the user's downloads.
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>

#include "runtime/error.h"

namespace quorvel {

// The crypt32 functions the TLS client uses, under their own names.
struct CertificateFunctions {
  decltype(&::CertOpenStore) CertOpenStore;
  decltype(&::CertCloseStore) CertCloseStore;
  decltype(&::CertDuplicateStore) CertDuplicateStore;
  decltype(&::CertCreateCertificateContext) CertCreateCertificateContext;
  decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
  decltype(&::CertAddCertificateContextToStore) CertAddCertificateContextToStore;
  decltype(&::CertEnumCertificatesInStore) CertEnumCertificatesInStore;
  decltype(&::CertGetCertificateChain) CertGetCertificateChain;
  decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
  decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
};

// Loads both DLLs once; a failure is reported to this caller and tried again by the next one.
Result<const SecurityFunctionTableW*> load_security_functions();

// The tables, for code that runs only after load_security_functions() succeeded (the owners of
// SSPI and certificate handles, the TLS stream, the server's validation).
const SecurityFunctionTableW& sspi();
const CertificateFunctions& crypt32();

// The seam of the tests of what Wine's Schannel cannot do (renegotiate, honour the credential
// structure): their own tables in place of the DLLs', after load_security_functions() succeeded.
// Tests call it only through test::SecurityFunctionsSwap (tests/support), which puts the previous
// tables back when its scope ends.
void replace_security_functions_for_testing(const SecurityFunctionTableW* table,
                                            const CertificateFunctions& certificates);

}  // namespace quorvel
