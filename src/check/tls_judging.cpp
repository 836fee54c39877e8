// What the TLS check offers and how it judges what it gets: the handshake profiles of Windows'
// clients, the trusted roots, and the server's certificate as Windows' chain engine would see it.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "check/tls_client.h"
#include "check/tls_internal.h"

namespace quorvel::check {
namespace {

// A chain Windows can build needs every certificate below the root from the server itself: the
// server's own chain is the only place the bootstrapper's chain engine is sure to find them.
std::optional<std::string> certificate_missing_from_chain(SSL* ssl) {
  STACK_OF(X509)* verified = SSL_get0_verified_chain(ssl);
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
  if (!verified || !sent) return std::nullopt;
  const int count = sk_X509_num(verified);
  for (int i = 1; i + 1 < count; ++i) {  // the leaf is always sent; the root need not be
    X509* needed = sk_X509_value(verified, i);
    bool found = false;
    for (int j = 0; j < sk_X509_num(sent) && !found; ++j) {
      found = X509_cmp(needed, sk_X509_value(sent, j)) == 0;
    }
    if (!found) {
      char name[256];
      X509_NAME_oneline(X509_get_subject_name(needed), name, sizeof name);
      return std::string(name);
    }
  }
  return std::nullopt;
}

}  // namespace

void judge_certificate(SSL* ssl, const ServerEndpoint& endpoint, TlsFacts& facts) {
  X509* leaf = SSL_get0_peer_certificate(ssl);
  if (!leaf) {
    facts.certificate_text = "the server sent no certificate";
    return;
  }
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) {
    facts.certificate_text = X509_verify_cert_error_string(result);
    if (result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) {
      facts.certificate_text +=
          " (the server does not send its intermediate certificates, or its root is not trusted)";
    }
    return;
  }
  if (auto missing = certificate_missing_from_chain(ssl)) {
    facts.certificate_text = "valid, but the server does not send the intermediate certificate " +
                             *missing + "; Windows may not find it";
    return;
  }
  facts.certificate_ok = true;
  const int length = sk_X509_num(SSL_get0_verified_chain(ssl));
  facts.certificate_text =
      "chain of " + std::to_string(length) + " complete and trusted, valid for " + endpoint.host;
}

std::string openssl_cipher_list(std::span<const std::string_view> standard_names) {
  TlsStream::CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  std::string list;
  if (!ctx || !SSL_CTX_set_cipher_list(ctx.get(), "ALL:COMPLEMENTOFALL:@SECLEVEL=0")) return list;
  STACK_OF(SSL_CIPHER)* known = SSL_CTX_get_ciphers(ctx.get());
  for (std::string_view wanted : standard_names) {
    for (int i = 0; i < sk_SSL_CIPHER_num(known); ++i) {
      const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(known, i);
      const char* standard = SSL_CIPHER_standard_name(cipher);
      if (standard && wanted == standard) {
        if (!list.empty()) list += ':';
        list += SSL_CIPHER_get_name(cipher);
        break;
      }
    }
  }
  ERR_clear_error();
  return list;
}

Result<void> check_trusted_roots(const std::string& path) {
  ERR_clear_error();
  X509_STORE* store = X509_STORE_new();
  if (!store) return Error::other("out of memory");
  const bool loaded = X509_STORE_load_file(store, path.c_str()) == 1;
  const int count = loaded ? sk_X509_OBJECT_num(X509_STORE_get0_objects(store)) : 0;
  X509_STORE_free(store);
  if (!loaded) {
    const Deadline unused(std::chrono::seconds(1), std::chrono::seconds(1));
    return ssl_failure(unused, "not a file of PEM certificates");
  }
  if (count == 0) return Error::other("it holds no certificate");
  ERR_clear_error();
  return success();
}

TlsProfile profile_for(const WindowsClient& client) {
  TlsProfile profile;
  // Security level 0: the check offers what Windows offers, whatever OpenSSL's own policy says.
  profile.cipher_list = openssl_cipher_list(client.suites) + ":@SECLEVEL=0";
  profile.groups = client.groups;
  profile.signature_algorithms = client.signature_algorithms;
  profile.min_version = TLS1_2_VERSION;
  profile.max_version = TLS1_2_VERSION;
  return profile;
}

TlsProfile legacy_profile_for(const WindowsClient& client) {
  TlsProfile profile = profile_for(client);
  profile.signature_algorithms.clear();  // TLS 1.0 and 1.1 have no such list
  profile.min_version = TLS1_VERSION;
  profile.max_version = TLS1_1_VERSION;
  return profile;
}

TlsProfile any_tls_profile() {
  TlsProfile profile;
  profile.cipher_list = "ALL:@SECLEVEL=0";
  return profile;
}

TlsProfile any_tls12_profile() {
  TlsProfile profile = any_tls_profile();
  profile.min_version = TLS1_2_VERSION;
  profile.max_version = TLS1_2_VERSION;
  return profile;
}

}  // namespace quorvel::check
