// The SSPI entry points, taken from secur32.dll in the system directory when the first connection
// needs them. Importing secur32 would run its provider set-up (Kerberos, NTLM) before main on every
// start, 50-75 ms under Wine before the window can show, and would let Windows look for the DLL in
// the program's own folder first, typically the user's downloads.
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include "runtime/error.h"

namespace quorvel {

// Loads the DLL once; a failure is reported to this caller and tried again by the next one.
Result<const SecurityFunctionTableW*> load_security_functions();

// The table, for code that runs only after load_security_functions() succeeded (the owners of
// SSPI handles, the TLS stream).
const SecurityFunctionTableW& sspi();

}  // namespace quorvel
