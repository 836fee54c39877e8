// Why a launcher's signature is refused, worded once: the bootstrapper prints these after
// "launcher signature check failed: ", and quorvel-check reports the publisher's file with them.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::signature_reason {

inline constexpr std::string_view NO_SIGNATURE = "no signature";
inline constexpr std::string_view DIGEST_MISMATCH = "digest mismatch";
inline constexpr std::string_view UNTRUSTED_CHAIN = "untrusted chain";
inline constexpr std::string_view UNTRUSTED_AT_TIMESTAMP =
    "untrusted chain at the countersigned time";
inline constexpr std::string_view EXPIRED = "expired without a timestamp";

inline std::string unreadable(std::string_view why) {
  return "signature unreadable (" + std::string(why) + ")";
}
// `name` is the signer's, or with `by_ca` that of the CA that issued the right name where the
// program was built with others.
inline std::string wrong_publisher(std::string_view name, bool by_ca = false) {
  return (by_ca ? "wrong publisher: issued by \"" : "wrong publisher: signed by \"") +
         std::string(name) + "\"";
}
inline std::string rejected(std::string_view system_text) {
  return "signature rejected (" + std::string(system_text) + ")";
}

}  // namespace quorvel::signature_reason
