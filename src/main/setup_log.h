// The support log in the user's temporary folder, "QuorvelSetup.log": every diagnostic line of
// every run, so a player whose program shows nothing can still send in what it said.
#pragma once

namespace quorvel {

// Sets a log that has passed 1 MiB aside as "QuorvelSetup.log.old", opens the log for appending,
// writes the run's header line (version, download URL, Windows version) and copies every printed
// line to it from then on. A log that cannot be set aside, opened or written is skipped silently.
// Call once at start-up, before anything is printed.
void start_setup_log();

}  // namespace quorvel
