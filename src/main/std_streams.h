// Standard output and standard error for a GUI-subsystem program.
#pragma once

namespace quorvel {

// The C runtime of a GUI program may start with no descriptors behind stdout and stderr even when
// the process inherited valid standard handles (a shell, a pipe, a file). Attaches those handles,
// in binary mode so UTF-8 bytes and bare line feeds pass unchanged, and makes both streams
// unbuffered so lines appear as they are written. Call first thing in the entry point.
void attach_std_streams();

}  // namespace quorvel
