// Owners of the SSPI and CryptoAPI handles the TLS client holds. Each frees its handle exactly once
// and never an unset one.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "net/sspi.h"
// After sspi.h, which sets up the security headers.
#include <wincrypt.h>

#include <utility>

namespace quorvel {

class CredentialsHandle {
 public:
  CredentialsHandle() = default;
  CredentialsHandle(const CredentialsHandle&) = delete;
  CredentialsHandle& operator=(const CredentialsHandle&) = delete;
  ~CredentialsHandle() {
    if (valid_) sspi().FreeCredentialsHandle(&handle_);
  }
  CredHandle* put() { return valid_ = true, &handle_; }  // before the acquiring call
  void forget() { valid_ = false; }                      // when that call failed
  CredHandle* get() { return &handle_; }

 private:
  CredHandle handle_{};
  bool valid_ = false;
};

class SecurityContext {
 public:
  SecurityContext() = default;
  SecurityContext(const SecurityContext&) = delete;
  SecurityContext& operator=(const SecurityContext&) = delete;
  ~SecurityContext() {
    if (valid_) sspi().DeleteSecurityContext(&handle_);
  }
  bool valid() const { return valid_; }
  CtxtHandle* get() { return valid_ ? &handle_ : nullptr; }
  CtxtHandle* out() { return &handle_; }
  void adopt() { valid_ = true; }  // the first InitializeSecurityContext call filled out()

 private:
  CtxtHandle handle_{};
  bool valid_ = false;
};

// A buffer Schannel allocated (ISC_REQ_ALLOCATE_MEMORY).
class ContextBuffer {
 public:
  explicit ContextBuffer(void* p = nullptr) : p_(p) {}
  ContextBuffer(const ContextBuffer&) = delete;
  ContextBuffer& operator=(const ContextBuffer&) = delete;
  ~ContextBuffer() {
    if (p_) sspi().FreeContextBuffer(p_);
  }

 private:
  void* p_;
};

class CertStore {
 public:
  explicit CertStore(HCERTSTORE store = nullptr) : store_(store) {}
  CertStore(CertStore&& other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
  CertStore& operator=(CertStore&& other) noexcept {
    std::swap(store_, other.store_);
    return *this;
  }
  ~CertStore() {
    if (store_) crypt32().CertCloseStore(store_, 0);
  }
  HCERTSTORE get() const { return store_; }

 private:
  HCERTSTORE store_;
};

class CertContext {
 public:
  explicit CertContext(PCCERT_CONTEXT context = nullptr) : context_(context) {}
  CertContext(const CertContext&) = delete;
  CertContext& operator=(const CertContext&) = delete;
  ~CertContext() {
    if (context_) crypt32().CertFreeCertificateContext(context_);
  }
  PCCERT_CONTEXT get() const { return context_; }

 private:
  PCCERT_CONTEXT context_;
};

class CertChain {
 public:
  explicit CertChain(PCCERT_CHAIN_CONTEXT chain = nullptr) : chain_(chain) {}
  CertChain(const CertChain&) = delete;
  CertChain& operator=(const CertChain&) = delete;
  ~CertChain() {
    if (chain_) crypt32().CertFreeCertificateChain(chain_);
  }
  PCCERT_CHAIN_CONTEXT get() const { return chain_; }

 private:
  PCCERT_CHAIN_CONTEXT chain_;
};

}  // namespace quorvel
