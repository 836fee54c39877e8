// What the TLS client's connection (tls_client.cpp) and its judging (tls_judging.cpp) share.
#pragma once

#include <openssl/ssl.h>

#include "check/deadline.h"
#include "check/tls_client.h"
#include "runtime/error.h"

namespace quorvel::check {

// The most specific error OpenSSL's queue holds (the queue is cleared), else `fallback`.
Error ssl_failure(const Deadline& deadline, const char* fallback);

// Fills the facts' certificate_ok and certificate_text from the certificate the server sent.
void judge_certificate(SSL* ssl, const ServerEndpoint& endpoint, TlsFacts& facts);

}  // namespace quorvel::check
