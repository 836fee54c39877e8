#include "net/sspi.h"

#include <atomic>
#include <mutex>

#include "runtime/sync.h"
#include "runtime/system_library.h"

namespace quorvel {

namespace {

std::atomic<const SecurityFunctionTableW*> loaded{nullptr};
detail::Mutex loading;

Error last_error() {
  return Error::os(static_cast<int32_t>(GetLastError()));
}

Result<const SecurityFunctionTableW*> load_sspi_table() {
  auto module = load_system_library(L"secur32.dll");
  if (!module) return module.take_error();
  auto init = library_function<INIT_SECURITY_INTERFACE_W>(*module, "InitSecurityInterfaceW");
  if (init == nullptr) return last_error();
  const SecurityFunctionTableW* table = init();
  if (table == nullptr) return Error::os(ERROR_PROC_NOT_FOUND);
  return table;
}

}  // namespace

Result<const SecurityFunctionTableW*> load_security_functions() {
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  std::lock_guard lock(loading);
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  if (auto certificates = load_crypt32(); !certificates) return certificates.take_error();
  auto table = load_sspi_table();
  if (!table) return table;
  loaded.store(*table, std::memory_order_release);
  return table;
}

void replace_security_functions_for_testing(const SecurityFunctionTableW* table,
                                            const Crypt32Functions& certificates) {
  std::lock_guard lock(loading);
  replace_crypt32_for_testing(certificates);
  loaded.store(table, std::memory_order_release);
}

const SecurityFunctionTableW& sspi() {
  return *loaded.load(std::memory_order_acquire);
}

}  // namespace quorvel
