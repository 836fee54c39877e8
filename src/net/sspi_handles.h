// Owners of the SSPI handles the TLS client holds (and, through crypt32_handles.h, of its
// certificate handles). Each frees its handle exactly once and never an unset one.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "net/sspi.h"
// After sspi.h, which sets up the security headers.
#include "net/crypt32_handles.h"

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

}  // namespace quorvel
