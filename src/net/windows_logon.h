// The player's Windows logon for a proxy that asks for it: SSPI's Negotiate or NTLM package with
// the current user's credentials, towards the service name "HTTP/" + the proxy's host.
#pragma once

#include "net/proxy_dialog.h"

namespace quorvel {

ProxyLogonStarter windows_logon();

}  // namespace quorvel
