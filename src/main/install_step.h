// The install step: turns the verified download into the setup executable, prepares the game
// directory, leaves the compatibility marker in it and starts the setup executable. Every step is
// attempted whatever happened before; each failure prints one line on standard error. Only the
// verified download is ever started.
#pragma once

#include "main/busy_retry.h"

namespace quorvel {

// Runs on the GUI thread. The delete of the old setup executable, the copy and the start are
// retried while another process holds the file, pausing through `waits`, which keep the window
// drawn and closable. False when the window was closed during a pause: the rest is not done.
bool run_install_step(const RetryWaits& waits);

}  // namespace quorvel
