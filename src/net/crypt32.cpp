#include "net/crypt32.h"

#include <atomic>
#include <mutex>
#include <type_traits>

#include "runtime/sync.h"
#include "runtime/system_library.h"

namespace quorvel {

namespace {

std::atomic<bool> loaded{false};
Crypt32Functions table;  // written before `loaded` is published; trivially destructible
detail::Mutex loading;
// Nothing here for the process's exit to destroy while another thread still uses it.
static_assert(std::is_trivially_destructible_v<Crypt32Functions> &&
              std::is_trivially_destructible_v<detail::Mutex>);

}  // namespace

Result<const Crypt32Functions*> load_crypt32() {
  if (loaded.load(std::memory_order_acquire)) return &table;
  std::lock_guard lock(loading);
  if (loaded.load(std::memory_order_acquire)) return &table;
  auto module = load_system_library(L"crypt32.dll");
  if (!module) return module.take_error();
  const HMODULE m = *module;
  Crypt32Functions f;
  if (!find_library_function(m, "CertOpenStore", f.CertOpenStore) ||
      !find_library_function(m, "CertCloseStore", f.CertCloseStore) ||
      !find_library_function(m, "CertDuplicateStore", f.CertDuplicateStore) ||
      !find_library_function(m, "CertCreateCertificateContext", f.CertCreateCertificateContext) ||
      !find_library_function(m, "CertFreeCertificateContext", f.CertFreeCertificateContext) ||
      !find_library_function(m, "CertAddCertificateContextToStore",
                             f.CertAddCertificateContextToStore) ||
      !find_library_function(m, "CertAddEncodedCertificateToStore",
                             f.CertAddEncodedCertificateToStore) ||
      !find_library_function(m, "CertEnumCertificatesInStore", f.CertEnumCertificatesInStore) ||
      !find_library_function(m, "CertGetCertificateChain", f.CertGetCertificateChain) ||
      !find_library_function(m, "CertFreeCertificateChain", f.CertFreeCertificateChain) ||
      !find_library_function(m, "CertVerifyCertificateChainPolicy",
                             f.CertVerifyCertificateChainPolicy) ||
      !find_library_function(m, "CertGetNameStringW", f.CertGetNameStringW) ||
      !find_library_function(m, "CryptHashCertificate2", f.CryptHashCertificate2) ||
      !find_library_function(m, "CryptVerifyCertificateSignatureEx",
                             f.CryptVerifyCertificateSignatureEx)) {
    return Error::os(static_cast<int32_t>(GetLastError()));
  }
  table = f;
  loaded.store(true, std::memory_order_release);
  return &table;
}

const Crypt32Functions& crypt32() {
  (void)loaded.load(std::memory_order_acquire);  // pairs with the publication above
  return table;
}

void replace_crypt32_for_testing(const Crypt32Functions& functions) {
  std::lock_guard lock(loading);
  table = functions;
  loaded.store(true, std::memory_order_release);
}

}  // namespace quorvel
