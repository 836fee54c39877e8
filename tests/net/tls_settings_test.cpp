#include "net/tls_settings.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(TlsSettings, ProgramSettingsAskForTls10Through12WithFullValidation) {
  TlsClientSettings settings = program_tls_settings();
  EXPECT_EQ(protocol_mask(settings), 0xA80u);
  EXPECT_TRUE(settings.extra_roots.empty());
  EXPECT_TRUE(settings.use_sni);
  EXPECT_FALSE(settings.accept_invalid_certs);
  EXPECT_FALSE(settings.accept_invalid_hostnames);
  EXPECT_FALSE(settings.disable_built_in_roots);
}

TEST(TlsSettings, MaskCoversTheRangeFromMinimumThroughMaximum) {
  TlsClientSettings settings;
  settings.min_protocol.reset();
  EXPECT_EQ(protocol_mask(settings), 0x20u | 0x80u | 0x200u | 0x800u);
  settings.min_protocol = ProtocolVersion::Tls11;
  settings.max_protocol = ProtocolVersion::Tls11;
  EXPECT_EQ(protocol_mask(settings), 0x200u);
  settings.min_protocol = ProtocolVersion::Tls12;
  settings.max_protocol = ProtocolVersion::Tls10;
  EXPECT_EQ(protocol_mask(settings), 0u);
}

}  // namespace
}  // namespace quorvel
