#include "net/sspi.h"

#include <atomic>
#include <mutex>

#include "runtime/sync.h"
#include "runtime/system_library.h"

namespace quorvel {

namespace {

std::atomic<const SecurityFunctionTableW*> loaded{nullptr};
CertificateFunctions certificate_functions;  // written once, before `loaded` is published
detail::Mutex loading;

Result<CertificateFunctions> load_certificate_functions() {
  auto module = load_system_library(L"crypt32.dll");
  if (!module) return module.take_error();
  CertificateFunctions f;
  const HMODULE m = *module;
  if (!find_library_function(m, "CertOpenStore", f.CertOpenStore) ||
      !find_library_function(m, "CertCloseStore", f.CertCloseStore) ||
      !find_library_function(m, "CertDuplicateStore", f.CertDuplicateStore) ||
      !find_library_function(m, "CertCreateCertificateContext", f.CertCreateCertificateContext) ||
      !find_library_function(m, "CertFreeCertificateContext", f.CertFreeCertificateContext) ||
      !find_library_function(m, "CertAddCertificateContextToStore",
                             f.CertAddCertificateContextToStore) ||
      !find_library_function(m, "CertEnumCertificatesInStore", f.CertEnumCertificatesInStore) ||
      !find_library_function(m, "CertGetCertificateChain", f.CertGetCertificateChain) ||
      !find_library_function(m, "CertFreeCertificateChain", f.CertFreeCertificateChain) ||
      !find_library_function(m, "CertVerifyCertificateChainPolicy",
                             f.CertVerifyCertificateChainPolicy)) {
    return last_os_error();
  }
  return f;
}

Result<const SecurityFunctionTableW*> load_sspi_table() {
  auto module = load_system_library(L"secur32.dll");
  if (!module) return module.take_error();
  auto init = library_function<INIT_SECURITY_INTERFACE_W>(*module, "InitSecurityInterfaceW");
  if (init == nullptr) return last_os_error();
  const SecurityFunctionTableW* table = init();
  if (table == nullptr) return Error::os(ERROR_PROC_NOT_FOUND);
  return table;
}

}  // namespace

Result<const SecurityFunctionTableW*> load_security_functions() {
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  std::lock_guard lock(loading);
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  auto certificates = load_certificate_functions();
  if (!certificates) return certificates.take_error();
  auto table = load_sspi_table();
  if (!table) return table;
  certificate_functions = *certificates;
  loaded.store(*table, std::memory_order_release);
  return table;
}

void replace_security_functions_for_testing(const SecurityFunctionTableW* table,
                                            const CertificateFunctions& certificates) {
  std::lock_guard lock(loading);
  certificate_functions = certificates;
  loaded.store(table, std::memory_order_release);
}

const SecurityFunctionTableW& sspi() {
  return *loaded.load(std::memory_order_acquire);
}

const CertificateFunctions& crypt32() {
  (void)loaded.load(std::memory_order_acquire);  // pairs with the publication above
  return certificate_functions;
}

}  // namespace quorvel
