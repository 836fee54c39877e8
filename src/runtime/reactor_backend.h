// The platform's readiness mechanism behind the reactor: poll() natively, an I/O completion port
// with AFD poll requests on Windows.
#pragma once

#include "runtime/error.h"

namespace quorvel::detail {

Result<void> backend_init();  // once, before anything else
// Waits up to timeout_ms (-1: no limit) for events or a notify; wakes the tasks that became ready.
void backend_wait(int timeout_ms);
void backend_notify();  // ends a current or the next backend_wait()

}  // namespace quorvel::detail
