// The TLS layer reaches secur32 and crypt32 through function tables, so tests of what
// Wine's Schannel cannot do (renegotiate, honour the credential structure) stand in for those
// tables, as other tests stand in for entries of the system-call table: for the scope only.
#pragma once

#include "net/sspi.h"

namespace quorvel::test {

// Needs load_security_functions() to have succeeded.
class SecurityFunctionsSwap {
 public:
  SecurityFunctionsSwap(const SecurityFunctionTableW* table,
                        const Crypt32Functions& certificates)
      : saved_table_(&sspi()), saved_certificates_(crypt32()) {
    replace_security_functions_for_testing(table, certificates);
  }
  SecurityFunctionsSwap(const SecurityFunctionsSwap&) = delete;
  SecurityFunctionsSwap& operator=(const SecurityFunctionsSwap&) = delete;
  ~SecurityFunctionsSwap() {
    replace_security_functions_for_testing(saved_table_, saved_certificates_);
  }

 private:
  const SecurityFunctionTableW* saved_table_;
  Crypt32Functions saved_certificates_;
};

}  // namespace quorvel::test
