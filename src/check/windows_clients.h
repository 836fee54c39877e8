// The TLS clients the bootstrapper is on players' machines: Schannel on Windows 7 and on Windows
// 10, with TLS 1.2 and the cipher suites each offers by default. The suite lists are Microsoft's
// published defaults ("TLS Cipher Suites in Windows 7", "... in Windows 10 v1903, v1909 and
// v2004"), in Windows' order of preference, less the suites that SCH_USE_STRONG_CRYPTO filters out
// (the bootstrapper sets it), those used only on an application's explicit request (NULL
// encryption) and those Windows cannot use in TLS 1.2. This is the one place they are kept.
#pragma once

#include <span>
#include <string_view>

namespace quorvel::check {

struct WindowsClient {
  std::string_view name;                     // "Windows 7"
  std::span<const std::string_view> suites;  // standard (IANA) names
  std::string_view groups;                   // the curves it offers, as an OpenSSL group list
  std::string_view signature_algorithms;     // as an OpenSSL signature-algorithm list
};

const WindowsClient& windows7_client();
const WindowsClient& windows10_client();

}  // namespace quorvel::check
