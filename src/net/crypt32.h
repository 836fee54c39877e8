// crypt32.dll, the system's certificate functions, for the TLS client's server validation and the
// launcher's signature check alike. Taken from the system directory when the first of them needs
// it: importing it would run its set-up before main on every start (10-15 ms under Wine) and would
// let Windows look for it in the program's own folder first, typically the user's downloads.
#pragma once

#include <windows.h>
// After windows.h.
#include <wincrypt.h>

#include "runtime/error.h"

namespace quorvel {

struct Crypt32Functions {
  decltype(&::CertOpenStore) CertOpenStore;
  decltype(&::CertCloseStore) CertCloseStore;
  decltype(&::CertDuplicateStore) CertDuplicateStore;
  decltype(&::CertCreateCertificateContext) CertCreateCertificateContext;
  decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
  decltype(&::CertAddCertificateContextToStore) CertAddCertificateContextToStore;
  decltype(&::CertAddEncodedCertificateToStore) CertAddEncodedCertificateToStore;
  decltype(&::CertEnumCertificatesInStore) CertEnumCertificatesInStore;
  decltype(&::CertGetCertificateChain) CertGetCertificateChain;
  decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
  decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
  decltype(&::CertGetNameStringW) CertGetNameStringW;
  decltype(&::CryptHashCertificate2) CryptHashCertificate2;
  decltype(&::CryptVerifyCertificateSignatureEx) CryptVerifyCertificateSignatureEx;
};

// Loads the DLL once; a failure is reported to this caller and tried again by the next one. The
// table lives in static storage without a destructor, so a check still running when the process
// ends never finds it gone.
Result<const Crypt32Functions*> load_crypt32();

// The table, for code that runs only after load_crypt32() succeeded (the handle owners too).
const Crypt32Functions& crypt32();

// The seam of the TLS tests that script what Wine cannot do; only through
// test::SecurityFunctionsSwap (tests/support), which puts the previous table back.
void replace_crypt32_for_testing(const Crypt32Functions& functions);

}  // namespace quorvel
