#include "net/sspi.h"

#include <atomic>
#include <mutex>
#include <string>

#include "runtime/sync.h"

namespace quorvel {

namespace {

std::atomic<const SecurityFunctionTableW*> loaded{nullptr};
detail::Mutex loading;

Result<const SecurityFunctionTableW*> load_from_system_directory() {
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return Error::os(static_cast<int32_t>(GetLastError()));
  std::wstring path(directory, length);
  path += L"\\secur32.dll";
  // Its own imports are then looked up beside it, not in the program's folder. Never freed: the
  // table stays in use until the process ends.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return Error::os(static_cast<int32_t>(GetLastError()));
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
      reinterpret_cast<void*>(GetProcAddress(module, "InitSecurityInterfaceW")));
  if (init == nullptr) return Error::os(static_cast<int32_t>(GetLastError()));
  const SecurityFunctionTableW* table = init();
  if (table == nullptr) return Error::os(ERROR_PROC_NOT_FOUND);
  return table;
}

}  // namespace

Result<const SecurityFunctionTableW*> load_security_functions() {
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  std::lock_guard lock(loading);
  if (const SecurityFunctionTableW* table = loaded.load(std::memory_order_acquire)) return table;
  auto table = load_from_system_directory();
  if (table) loaded.store(*table, std::memory_order_release);
  return table;
}

const SecurityFunctionTableW& sspi() {
  return *loaded.load(std::memory_order_acquire);
}

}  // namespace quorvel
