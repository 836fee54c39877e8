#include "download/launcher_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <tuple>

#if defined(QUORVEL_TEST_WITH_OSSLSIGNCODE)
#include <openssl/evp.h>
#endif

#include "download/files.h"
#include "download/pe_signature.h"
#include "download/timestamp_token.h"
#include "download_test_support.h"

namespace quorvel {
namespace {

const std::string_view PUBLISHERS[] = {"Example Games Ltd", "Example Games GmbH"};
// A CA by its SHA-256 (32 bytes of 0xAB), in upper case.
const std::string_view ISSUERS[] = {
    "ABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABAB"};

// A PE32+ (or PE32) header, `body`, then `table` as its certificate table; `declared` overrides
// the table's size in its directory entry.
std::string pe_file(const std::string& body, const std::string& table,
                    std::optional<uint32_t> declared = std::nullopt, bool plus = true) {
  const size_t optional = 0x58, directories = plus ? 112 : 96, entry = optional + directories + 32;
  std::string file(optional + directories + 128, '\0');
  const auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(v >> (8 * i));
  };
  file[0] = 'M', file[1] = 'Z', file[0x3C] = 0x40;
  file.replace(0x40, 4, "PE\0\0", 4);
  file[0x54] = static_cast<char>(directories + 128);  // SizeOfOptionalHeader
  file[optional] = 0x0B, file[optional + 1] = plus ? 0x02 : 0x01;
  file[optional + directories - 4] = 16;  // directories
  file += body;
  if (!table.empty()) {
    put32(entry, static_cast<uint32_t>(file.size()));
    put32(entry + 4, declared.value_or(static_cast<uint32_t>(table.size())));
  }
  return file + table;
}

// A certificate table: one WIN_CERTIFICATE around `der`, `padding` zero bytes counted in its
// length, `extra` bytes after it.
std::string table_of(const std::string& der, size_t padding, const std::string& extra = "") {
  const uint32_t length = static_cast<uint32_t>(8 + der.size() + padding);
  std::string entry = {
      char(length), char(length >> 8), char(length >> 16), char(length >> 24), 0x00, 0x02, 0x02,
      0x00};
  return entry + der + std::string(padding, '\0') + extra;
}

const std::string SIGNATURE = {0x30, 0x03, 0x02, 0x01, 0x05};  // 5 bytes: 3 of padding to 16

TEST(PeSignature, FindsTheOneSignatureThatEndsTheFile) {
  const std::string body(13, 'c');
  struct Row {
    const char* name;
    std::string file;
    std::optional<ErrorKind> error;
  };
  const Row rows[] = {
      {"padded entry", pe_file(body, table_of(SIGNATURE, 3)), std::nullopt},
      {"entry padded by the table", pe_file(body, table_of(SIGNATURE, 0, std::string(3, '\0'))),
       std::nullopt},
      {"no table", pe_file(body, ""), ErrorKind::NotFound},
      {"not a PE file", "123456789", ErrorKind::NotFound},
      {"bytes after the table", pe_file(body, table_of(SIGNATURE, 3)) + "MZ",
       ErrorKind::InvalidData},
      {"a second entry in the table", pe_file(body, table_of(SIGNATURE, 3, table_of(SIGNATURE, 3))),
       ErrorKind::InvalidData},
      {"padding that is not zero", pe_file(body, table_of(SIGNATURE, 0, std::string("\0x\0", 3))),
       ErrorKind::InvalidData},
      {"a whole padding block", pe_file(body, table_of(SIGNATURE, 11)), ErrorKind::InvalidData},
      {"table longer than the file", pe_file(body, table_of(SIGNATURE, 3), 24),
       ErrorKind::InvalidData},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes bytes(reinterpret_cast<const uint8_t*>(row.file.data()), row.file.size());
    auto found = find_pe_signature(bytes);
    ASSERT_EQ(found.ok(), !row.error) << (found ? "" : error_text(found.error()));
    if (row.error) {
      EXPECT_EQ(found.error().kind(), *row.error);
      continue;
    }
    EXPECT_EQ(std::string(found->signature.begin(), found->signature.end()), SIGNATURE);
    // The image digest skips the checksum, the directory entry and the table.
    std::vector<uint8_t> image = authenticode_image({bytes.begin(), bytes.end()}, *found);
    std::string expected = row.file.substr(0, 0x148) + body;  // PE32+: entry at 0xE8
    expected.erase(0xE8, 8).erase(0x58 + 64, 4);
    EXPECT_EQ(std::string(image.begin(), image.end()), expected);
  }
}

#if defined(QUORVEL_TEST_WITH_OSSLSIGNCODE)
// The image digest of files osslsigncode signed, as it calculates it: PE32+ and PE32, lengths it
// pads to 8 bytes before signing and lengths it does not, SHA-1 and SHA-256.
TEST(PeSignature, ImageDigestIsOsslsigncodes) {
  test::ScratchDir dir;
  const std::string key = dir.file("k.pem"), cert = dir.file("c.pem"), in = dir.file("in.exe"),
                    out = dir.file("out.exe"), report = dir.file("report");
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=t -days 2 -keyout " +
                         key + " -out " + cert + " 2>/dev/null")
                            .c_str()),
            0);
  for (const bool plus : {true, false}) {
    for (const bool sha1 : {true, false}) {
      for (const size_t length : {13, 64}) {
        SCOPED_TRACE(std::to_string(length) + (plus ? " PE32+" : " PE32") + (sha1 ? " SHA-1" : ""));
        test::write_file(in, pe_file(std::string(length, 'c'), "", std::nullopt, plus));
        std::filesystem::remove(out);
        ASSERT_NE(std::system(("osslsigncode sign -certs " + cert + " -key " + key + " -h " +
                               (sha1 ? "sha1" : "sha256") + " -in " + in + " -out " + out +
                               " >/dev/null; osslsigncode verify -in " + out + " >" + report)
                                  .c_str()),
                  -1);
        const std::string text = test::read_file(report).value_or("");
        const size_t at = text.find("Calculated message digest : ");
        ASSERT_NE(at, std::string::npos) << text;
        auto file = read_whole_file(out);
        ASSERT_TRUE(file);
        auto where = find_pe_signature(*file);
        ASSERT_TRUE(where) << error_text(where.error());
        const std::vector<uint8_t> image = authenticode_image(*file, *where);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned size = 0;
        EVP_Digest(image.data(), image.size(), digest, &size, sha1 ? EVP_sha1() : EVP_sha256(),
                   nullptr);
        std::string hex;
        for (unsigned i = 0; i < size; ++i)
          hex += "0123456789ABCDEF"[digest[i] >> 4], hex += "0123456789ABCDEF"[digest[i] & 15];
        EXPECT_EQ(hex, text.substr(at + 28, hex.size()));
      }
    }
  }
}
#endif

struct Case {
  const char* name;
  uint32_t trust;  // the system's Authenticode verdict
  Result<SignerFacts> signer;
  const char* problem;        // the start of the printed reason; null: accepted
  bool with_issuers = false;  // built with ISSUERS
};

TEST(LauncherSignature, Verdicts) {
  const auto signer = [](const char* subject, ChainVerdict chain = ChainVerdict::Trusted,
                         bool timestamped = false, bool digests = true) {
    return Result<SignerFacts>(SignerFacts{subject, chain, timestamped, digests, {}, {}});
  };
  const auto ok = signer("Example Games Ltd");
  // The first name through a trusted chain whose CAs have these SHA-256 digests, end to end.
  const auto issued = [](std::vector<uint8_t> cas) {
    return Result<SignerFacts>(
        SignerFacts{"Example Games Ltd", ChainVerdict::Trusted, false, true, "Example CA", cas});
  };
  std::vector<uint8_t> cas(64, 0xAB);  // another CA, one bit off, then the configured one
  cas[31] ^= 1;
  const Case cases[] = {
      {"first name", 0, ok, nullptr},
      {"second name, timestamped", 0, signer("Example Games GmbH", ChainVerdict::Trusted, true),
       nullptr},
      {"a digest that does not hold", 0,
       signer("Example Games Ltd", ChainVerdict::Trusted, true, false), "digest mismatch"},
      {"system: unsigned", 0x800B0100, ok, "no signature"},
      {"system: changed byte", 0x80096010, ok, "digest mismatch"},
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
      {"issuers: the configured CA above another", 0, issued(cas), nullptr, true},
      {"issuers: a CA one bit off", 0, issued({cas.begin(), cas.begin() + 32}),
       "wrong publisher: issued by \"Example CA\"", true},
      {"issuers: another name first", 0, signer("Someone Else"), "wrong publisher: signed by",
       true},
      {"issuers: the system still has its say", 0x800B0109, issued(cas), "untrusted chain", true},
  };
  test::ScratchDir dir;
  const std::string path = dir.file("L.bin");
  const std::string file = pe_file("code", table_of(SIGNATURE, 3));
  test::write_file(path, file);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SignatureInspector inspector{
        [&](std::vector<uint8_t> contents, const PeSignature& where) {
          EXPECT_EQ(std::string(contents.begin(), contents.end()), file);
          EXPECT_EQ(where.table_at, file.size() - 16);
          return c.signer;
        },
        [&](const std::string& checked) {
          EXPECT_EQ(checked, path);
          return static_cast<int32_t>(c.trust);
        }};
    const auto problem = launcher_signature_problem(inspector, path, PUBLISHERS,
                                                    std::span(ISSUERS).first(c.with_issuers));
    ASSERT_EQ(problem.has_value(), c.problem != nullptr);
    if (problem) {
      EXPECT_TRUE(problem->starts_with(c.problem)) << *problem;
    }
  }
  const SignatureInspector unused{nullptr, nullptr};  // never asked about these
  EXPECT_EQ(launcher_signature_problem(unused, dir.file("missing"), PUBLISHERS)->substr(0, 21),
            "signature unreadable ");
  test::write_file(path, file + "tail");
  EXPECT_EQ(launcher_signature_problem(unused, path, PUBLISHERS),
            "signature unreadable (bytes follow the certificate table)");
  test::write_file(path, "123456789");
  EXPECT_EQ(launcher_signature_problem(unused, path, PUBLISHERS), "no signature");
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
  const auto info = parse_timestamp_info(tst_info("20240229123456.5Z"));
  ASSERT_TRUE(info);
  EXPECT_EQ(std::tie(info->time, info->hash, info->hashed),
            std::make_tuple(int64_t{133536836965000000}, HashAlgorithm::Sha256,
                            std::vector<uint8_t>(32, 0xAB)));
  EXPECT_EQ(parse_timestamp_info(tst_info("19991231235959Z"))->time, 125911583990000000);
  EXPECT_EQ(parse_timestamp_info(tst_info("20240229123456Z", 3, 64))->hash, HashAlgorithm::Sha512);
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
