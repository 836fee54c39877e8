#include <windows.h>

#include <atomic>
#include <memory>

#include "runtime/system_calls.h"
#include "runtime/thread.h"
#include "runtime/utf.h"

namespace quorvel::detail {
namespace {

constexpr SIZE_T STACK_SIZE = 0x200000;

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Windows before 10 1607 lacks SetThreadDescription; the threads then stay unnamed.
SetThreadDescriptionFn set_thread_description() {
  static const auto fn = reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  return fn;
}

struct Start {
  std::function<void()> body;
};

DWORD WINAPI thread_main(LPVOID arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  start->body();
  return 0;
}

}  // namespace

Result<void> spawn_thread(const std::string& name, std::function<void()> body) {
  auto start = std::make_unique<Start>(Start{std::move(body)});
  // Created suspended and named by its creator, so the name is in place once this returns.
  const auto create_thread = std::atomic_ref(system_calls().create_thread).load();
  HANDLE thread = create_thread(nullptr, STACK_SIZE, thread_main, start.get(),
                                CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return last_os_error();
  if (auto fn = set_thread_description()) {
    auto wide = utf8_to_utf16(name);
    // Wine answers with a success code other than S_OK, so only failure codes count as failure;
    // a failure leaves the thread unnamed, which harms nothing.
    if (wide) (void)SUCCEEDED(fn(thread, wide->c_str()));
  }
  start.release();
  ResumeThread(thread);
  CloseHandle(thread);  // the thread runs on detached, never joined
  return success();
}

void pause_thread(std::chrono::microseconds duration) {
  Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(duration).count()));
}

}  // namespace quorvel::detail
