// How the running copy ends, whichever way its run is over: the output flushed, then the process
// ended at once. No destructor, exit handler or DLL detach notification runs: they would run while
// the runtime's threads and the system's own (the display driver's, the TLS library's) still work,
// and under Wine such a teardown has crashed a process that had installed and started the launcher.
// Everything the program must leave behind is on disk by then.
#pragma once

namespace quorvel {

[[noreturn]] void end_process(int status);

}  // namespace quorvel
