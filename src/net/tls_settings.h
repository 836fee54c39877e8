// The settings of a TLS client connection. The program uses one fixed set (program_tls_settings):
// TLS 1.0 to 1.2, the host as server name, full chain and host-name validation against the
// platform's trust store, no client certificate, no ALPN.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quorvel {

// In ascending order; there is deliberately no TLS 1.3 member.
enum class ProtocolVersion : uint8_t { Ssl30 = 0, Tls10 = 1, Tls11 = 2, Tls12 = 3 };

struct TlsClientSettings {
  std::vector<std::vector<uint8_t>> extra_roots;  // DER certificates trusted besides the system's
  std::optional<ProtocolVersion> min_protocol;    // none: from the oldest version
  std::optional<ProtocolVersion> max_protocol;    // none: up to the newest version
  bool use_sni = true;                            // the host is the handshake's target name
  bool accept_invalid_certs = false;              // any chain passes
  bool accept_invalid_hostnames = false;  // the certificate's names are not compared with the host
  bool disable_built_in_roots = false;    // only chains ending in an extra root pass
};

// The settings every connection of the program uses.
inline TlsClientSettings program_tls_settings() {
  TlsClientSettings settings;
  settings.min_protocol = ProtocolVersion::Tls10;
  return settings;
}

// Schannel client protocol bits of each ProtocolVersion.
inline constexpr uint32_t PROTOCOL_CLIENT_BITS[] = {0x20, 0x80, 0x200, 0x800};

// The OR of the client bits of every version from the minimum through the maximum: 0xA80 for
// TLS 1.0 to 1.2. 0 when the range is empty.
inline uint32_t protocol_mask(const TlsClientSettings& settings) {
  auto first = static_cast<unsigned>(settings.min_protocol.value_or(ProtocolVersion::Ssl30));
  auto last = static_cast<unsigned>(settings.max_protocol.value_or(ProtocolVersion::Tls12));
  uint32_t mask = 0;
  for (unsigned v = first; v <= last; ++v) mask |= PROTOCOL_CLIENT_BITS[v];
  return mask;
}

}  // namespace quorvel
