#include "download/launcher_signature.h"

#include <gtest/gtest.h>

#include <tuple>

#include "download/timestamp_token.h"

namespace quorvel {
namespace {

const std::string_view PUBLISHERS[] = {"Example Games Ltd", "Example Games GmbH"};

struct Case {
  const char* name;
  uint32_t trust;  // the system's Authenticode verdict
  Result<SignerFacts> signer;
  const char* problem;  // the start of the printed reason; null: accepted
};

TEST(LauncherSignature, Verdicts) {
  const auto signer = [](const char* subject, ChainVerdict chain = ChainVerdict::Trusted,
                         bool timestamped = false) {
    return Result<SignerFacts>(SignerFacts{subject, chain, timestamped});
  };
  const auto ok = signer("Example Games Ltd");
  const Case cases[] = {
      {"first name", 0, ok, nullptr},
      {"second name, timestamped", 0, signer("Example Games GmbH", ChainVerdict::Trusted, true),
       nullptr},
      {"unsigned", 0x800B0100, ok, "no signature"},
      {"not a PE file", 0x800B0003, ok, "no signature"},
      {"changed byte", 0x80096010, ok, "digest mismatch"},
      {"system: untrusted root", 0x800B0109, ok, "untrusted chain"},
      {"system: expired", 0x800B0101, ok, "expired without a timestamp"},
      {"system: anything else", 0x80004005, ok, "signature rejected ("},
      {"own chain", 0, signer("Example Games Ltd", ChainVerdict::Untrusted), "untrusted chain"},
      {"own chain at the signing time", 0,
       signer("Example Games Ltd", ChainVerdict::Untrusted, true),
       "untrusted chain at the countersigned time"},
      {"expired", 0, signer("Example Games Ltd", ChainVerdict::Expired),
       "expired without a timestamp"},
      {"another name", 0, signer("Someone Else"), "wrong publisher: signed by \"Someone Else\""},
      {"letter case", 0, signer("example games ltd"), "wrong publisher"},
      {"a prefix", 0, signer("Example Games"), "wrong publisher"},
      {"unreadable signer", 0, Error::other("bad message"), "signature unreadable (bad message)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SignatureInspector inspector{[&](const std::string& path) {
                                         EXPECT_EQ(path, "C:\\t\\L.bin");
                                         return static_cast<int32_t>(c.trust);
                                       },
                                       [&](const std::string&) { return c.signer; }};
    const auto problem = launcher_signature_problem(inspector, "C:\\t\\L.bin", PUBLISHERS);
    ASSERT_EQ(problem.has_value(), c.problem != nullptr);
    if (problem) {
      EXPECT_TRUE(problem->starts_with(c.problem)) << *problem;
    }
  }
}

// A TSTInfo: version, policy, imprint (hash_id's NIST hash of digest_size bytes 0xAB), serial,
// genTime.
std::vector<uint8_t> tst_info(std::string time, uint8_t hash_id = 1, size_t digest_size = 32) {
  // clang-format off
  std::vector<uint8_t> imprint = {0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                                  0x02, hash_id, 0x05, 0x00, 0x04, uint8_t(digest_size)};
  // clang-format on
  imprint.insert(imprint.end(), digest_size, 0xAB);
  imprint.insert(imprint.begin(), {0x30, uint8_t(imprint.size())});
  std::vector<uint8_t> body = {0x02, 0x01, 0x01, 0x06, 0x03, 0x2A, 0x03, 0x04};
  body.insert(body.end(), imprint.begin(), imprint.end());
  body.insert(body.end(), {0x02, 0x01, 0x07, 0x18, uint8_t(time.size())});
  body.insert(body.end(), time.begin(), time.end());
  body.insert(body.begin(), {0x30, 0x81, uint8_t(body.size())});
  return body;
}

TEST(TimestampInfo, ReadsTimeAndImprint) {
  const auto bare = tst_info("20240229123456.5Z");
  auto wrapped = bare;
  wrapped.insert(wrapped.begin(), {0x04, 0x81, static_cast<uint8_t>(bare.size())});
  for (const auto& der : {bare, wrapped}) {
    const auto info = parse_timestamp_info(der);
    ASSERT_TRUE(info);
    EXPECT_EQ(std::tie(info->time, info->hash, info->hashed),
              std::make_tuple(int64_t{133536836965000000}, ImprintHash::Sha256,
                              std::vector<uint8_t>(32, 0xAB)));
  }
  EXPECT_EQ(parse_timestamp_info(tst_info("19991231235959Z"))->time, 125911583990000000);
  EXPECT_EQ(parse_timestamp_info(tst_info("20240229123456Z", 3, 64))->hash, ImprintHash::Sha512);
}

TEST(TimestampInfo, RefusesMalformedTokens) {
  const auto good = tst_info("20240229123456Z");
  std::vector<uint8_t> wrapped_short = {0x04, uint8_t(good.size() - 1)};
  wrapped_short.insert(wrapped_short.end(), good.begin(), good.end());
  std::vector<uint8_t> trailing = good;
  trailing.push_back(0);
  const std::vector<uint8_t> bad[] = {
      {},
      std::vector<uint8_t>(good.begin(), good.end() - 1),  // truncated
      trailing,
      wrapped_short,
      tst_info("20240229123456"),          // local time
      tst_info("2024022912345Z"),          // short
      tst_info("20241329123456Z"),         // month 13
      tst_info("20240229123456.Z5"),       // fraction after the zone
      tst_info("20240229123456Z", 9),      // unknown hash
      tst_info("20240229123456Z", 1, 20),  // digest of the wrong size
  };
  for (const auto& der : bad) EXPECT_FALSE(parse_timestamp_info(der)) << der.size();
}

}  // namespace
}  // namespace quorvel
