// The SSPI entry points of secur32.dll, taken from the system directory when the first connection
// needs them, with crypt32 (net/crypt32.h) for the server's validation. Importing secur32 would run
// its providers' set-up (Kerberos and NTLM, 50-75 ms under Wine) before main on every start,
// before the window can show, and would let Windows look for it in the program's own folder first,
// typically the user's downloads.
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>

#include "net/crypt32.h"
#include "runtime/error.h"

namespace quorvel {

// Loads secur32, and crypt32 for the validation, once; a failure is reported to this caller and
// tried again by the next one.
Result<const SecurityFunctionTableW*> load_security_functions();

// The table, for code that runs only after load_security_functions() succeeded (the owners of
// SSPI handles, the TLS stream).
const SecurityFunctionTableW& sspi();

// The seam of the tests of what Wine's Schannel cannot do (renegotiate, honour the credential
// structure): their own tables in place of the DLLs', after load_security_functions() succeeded.
// Tests call it only through test::SecurityFunctionsSwap (tests/support), which puts the previous
// tables back when its scope ends.
void replace_security_functions_for_testing(const SecurityFunctionTableW* table,
                                            const Crypt32Functions& certificates);

}  // namespace quorvel
