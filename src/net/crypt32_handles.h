// Owners of crypt32's handles: stores, certificates and chains. Each frees its handle exactly once
// and never an unset one; they are made only after load_crypt32() succeeded.
#pragma once

#include <utility>

#include "net/crypt32.h"

namespace quorvel {

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
