// The install step: turns the verified download into the setup executable, prepares the game
// directory, leaves the compatibility marker in it and starts the setup executable. Every step is
// attempted whatever happened before; each failure prints one line on standard error.
#pragma once

namespace quorvel {

// Runs on the GUI thread; synchronous.
void run_install_step();

}  // namespace quorvel
