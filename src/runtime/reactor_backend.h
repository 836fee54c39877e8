// The platform's readiness mechanism behind the reactor: poll() natively, an I/O completion port
// with AFD poll requests on Windows.
#pragma once

#include "runtime/error.h"

namespace quorvel::detail {

Result<void> backend_init();  // once, before anything else
void backend_wait();          // blocks until events or a notify arrive; wakes the ready tasks
void backend_notify();        // ends a current or the next backend_wait()

}  // namespace quorvel::detail
