// The connector the download job uses by default: TLS to the download host on Windows. The native
// build has no TLS client; there the job is always given a connector by its caller.
#pragma once

#include "net/byte_stream.h"

namespace quorvel {

Connector secure_connector();

}  // namespace quorvel
