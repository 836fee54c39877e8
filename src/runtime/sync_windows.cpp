#include <windows.h>

#include "runtime/sync.h"

namespace quorvel::detail {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

void Mutex::lock() {
  AcquireSRWLockExclusive(static_cast<PSRWLOCK>(native()));
}

bool Mutex::try_lock() {
  return TryAcquireSRWLockExclusive(static_cast<PSRWLOCK>(native())) != 0;
}

void Mutex::unlock() {
  ReleaseSRWLockExclusive(static_cast<PSRWLOCK>(native()));
}

void CondVar::notify_one() {
  WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

void CondVar::notify_all() {
  WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

void CondVar::wait_ms(std::unique_lock<Mutex>& lock, long milliseconds) {
  // The lock is held again when this returns, whether woken, timed out or failed.
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&state_),
                            static_cast<PSRWLOCK>(lock.mutex()->native()),
                            milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds), 0);
}

}  // namespace quorvel::detail
