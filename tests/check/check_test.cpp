// What quorvel-check decides from facts alone, one table per group of requirements, no server:
// each case gives what the fetching side saw and the line a publisher must read.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "check/body_sink.h"
#include "check/judge.h"
#include "check/tls_client.h"
#include "check/windows_clients.h"
#include "download/crc64.h"

namespace quorvel::check {
namespace {

using namespace std::chrono_literals;

// The formatted line for `requirement`, or "" when there is none.
std::string line(const Findings& findings, std::string_view requirement) {
  for (const Finding& f : findings) {
    if (f.requirement == requirement) return format_finding(f);
  }
  return "";
}

constexpr std::string_view GOOD_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Length: 9\r\nETag: \"a\"\r\nx-oss-hash-crc64ecma: 5\r\n\r\n";

TEST(JudgeHead, EachReplyGetsTheLineThatExplainsIt) {
  struct Case {
    std::string reply;
    std::optional<Error> error;
    bool over_limit, out_of_time;
    std::string requirement, expected;  // expected: the start of that line
    bool usable;
  };
  const Error kept_open = Error::kind(ErrorKind::TimedOut, "no answer from the server for 2 s");
  const std::vector<Case> cases = {
      {std::string(GOOD_HEAD), {}, false, false, "ETag", "ok        ETag: \"a\"", true},
      {"HTTP/1.1 200 OK\r\ncontent-length: 9\r\nETag: \"a\"\r\nETag: \"b\"\r\n"
       "x-oss-hash-crc64ecma: 5\r\n\r\n",
       {},
       false,
       false,
       "Content-Length",
       "DEGRADED  Content-Length: not recognised: the server spells it \"content-length:\"",
       true},
      {"HTTP/1.1 200 OK\r\nETag: \"a\"\r\nETag: \"b\"\r\nx-oss-hash-crc64ecma: 5\r\n\r\n",
       {},
       false,
       false,
       "ETag",
       "ok        ETag: \"b\" (sent 2 times; the bootstrapper uses the last)",
       true},
      {"HTTP/1.1 200 OK\r\nEtag: \"a\"\r\nx-oss-hash-crc64ecma: 5\r\n\r\n",
       {},
       false,
       false,
       "ETag",
       "DEGRADED  ETag: not recognised: the server spells it \"Etag:\"",
       true},
      // A byte that is not UTF-8 in a header: the reply is refused, and the tag was sent.
      {"HTTP/1.1 200 OK\r\nServer: \xff\r\nETag: \"a\"\r\n\r\n",
       {},
       false,
       false,
       "HEAD reply",
       "FAIL      HEAD reply: line 2 (\"Server: \\xFF\") is not UTF-8; the bootstrapper refuses "
       "the whole reply: it stops at its HEAD step",
       false},
      {"HTTP/1.1 200 OK\r\nServer: \xff\r\nETag: \"a\"\r\n\r\n",
       {},
       false,
       false,
       "ETag",
       "--        ETag: sent as \"\"a\"\", but the bootstrapper refuses the reply",
       false},
      {"HTTP/1.1 200 OK\r\nETag: \"a\"\r\n\r\nMZ\x90",
       {},
       false,
       false,
       "HEAD reply",
       "FAIL      HEAD reply: line 4 (\"MZ\\x90\", in a body the server sent with its reply to "
       "HEAD) is not UTF-8",
       false},
      // Over the limit: said in English, with what the server did.
      {"HTTP/1.1 200 OK\r\nETag: \"a\"\r\n\r\n" + std::string(100, 'x'),
       {},
       true,
       false,
       "HEAD reply",
       "FAIL      HEAD reply: the server sent a body with its reply to HEAD, more than 65536 "
       "bytes in all; the bootstrapper gives up",
       false},
      {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n",
       {},
       false,
       false,
       "HEAD status",
       "FAIL      HEAD status: \"HTTP/1.1 302 Found\": the bootstrapper needs a reply that begins "
       "with \"HTTP/1.1 200\" and follows no redirect",
       false},
      {"HTTP/1.1 200 OK\r\nETag: \"a\"\r\n", kept_open, false, false, "HEAD reply",
       "FAIL      HEAD reply: the server kept the connection open after 28 bytes", false},
      {"HTTP/1.1 2", kept_open, false, true, "HEAD reply",
       "FAIL      HEAD reply: the check's 120 s ran out after 10 bytes of the reply", false},
      {"HTTP/1.1 200 OK\r\nx-oss-hash-crc64ecma: 5A\r\n\r\n",
       {},
       false,
       false,
       "x-oss-hash-crc64ecma",
       "FAIL      x-oss-hash-crc64ecma: \"5A\" is not a decimal number (invalid digit found in "
       "string): the bootstrapper fails on it; it stops at its HEAD step",
       false},
      {"HTTP/1.1 200 OK\r\nETag: \"a\"\r\n\r\n",
       {},
       false,
       false,
       "x-oss-hash-crc64ecma",
       "FAIL      x-oss-hash-crc64ecma: missing; the checksum reads as 0",
       true},
  };
  for (const Case& c : cases) {
    const HeadSeen seen{c.error, c.reply, c.over_limit, c.out_of_time};
    Announced announced;
    const Findings findings = judge_head(seen, 120s, announced);
    EXPECT_TRUE(line(findings, c.requirement).starts_with(c.expected))
        << c.reply << "\n"
        << line(findings, c.requirement);
    EXPECT_EQ(announced.usable, c.usable) << c.reply;
  }
}

HeadSeen head(std::string etag, std::string length, std::string crc) {
  return {{},
          "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\nETag: " + etag +
              "\r\nx-oss-hash-crc64ecma: " + crc + "\r\n\r\n"};
}

TEST(JudgeMirrors, DifferingTagsDegradeAndDifferingChecksumsFail) {
  struct Case {
    std::vector<HeadSeen> replies;
    std::string expected;
  };
  const std::string name = "mirrors (3 HEAD requests on fresh connections): ";
  const std::vector<Case> cases = {
      {{head("a", "9", "5"), head("a", "9", "5"), head("a", "9", "5")},
       "ok        " + name + "the same entity tag, length and checksum each time"},
      {{head("a", "9", "5"), head("b", "9", "5"), head("a", "9", "5")},
       "DEGRADED  " + name + "the replies differ: entity tags a, b; a resumed download"},
      {{head("a", "9", "5"), head("a", "9", "6"), head("a", "9", "5")},
       "FAIL      " + name + "the replies announce different checksums (5, 6)"},
      {{head("a", "9", "5"), HeadSeen{Error::kind(ErrorKind::ConnectionReset)},
        head("a", "9", "5")},
       "DEGRADED  " + name + "1 of them did not get a reply the bootstrapper can use"},
  };
  for (const Case& c : cases) {
    const std::string got = format_finding(judge_mirrors(c.replies).front());
    EXPECT_TRUE(got.starts_with(c.expected)) << got;
  }
}

GetSeen get(std::vector<std::string> head_lines, uint64_t body_size = 9) {
  GetSeen seen;
  GetHeadParser parser;
  for (std::string& l : head_lines) {
    if (l == "\n" && parser.status_seen() && !seen.bare_blank_line) {
      seen.bare_blank_line = seen.head_lines.size();
    }
    const bool status = !parser.status_seen();
    auto fed = parser.feed_line(l);
    seen.head_lines.push_back(std::move(l));
    if (!fed) {
      seen.refused = true;
      if (status) continue;  // the rest of the head is kept to tell what it says
      break;
    }
    if ((seen.head_ended = *fed)) break;
  }
  if (seen.head_ended) seen.body.size = body_size;
  return seen;
}

TEST(JudgeGet, StatusHeadAndBody) {
  struct Case {
    GetSeen seen;
    std::string requirement, expected;
  };
  GetSeen cut = get({"HTTP/1.1 200 OK\r\n", "\r\n"});
  cut.body.error = Error::kind(ErrorKind::TimedOut, "no answer from the server for 2 s");
  GetSeen slow = get({"HTTP/1.1 200 OK\r\n", "\r\n"});
  slow.body.out_of_time = true;
  const std::vector<Case> cases = {
      {get({"HTTP/1.1 200 OK\r\n", "\r\n"}), "GET body",
       "ok        GET body: 9 bytes, then the connection closed"},
      {get({"HTTP/1.1 200 OK\r\n", "\r\n"}, 8), "GET body",
       "DEGRADED  GET body: 8 bytes, then the connection closed, but the HEAD reply announced 9"},
      {get({"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked\r\n", "\r\n"}), "GET body",
       "FAIL      GET body: 9 bytes sent with Transfer-Encoding: chunked"},
      {get({"HTTP/1.1 301 Moved\r\n", "Location: /x\r\n", "\r\n"}), "GET status",
       "FAIL      GET status: \"HTTP/1.1 301 Moved\": the bootstrapper needs \"HTTP/1.1 200\" or "
       "\"HTTP/1.1 206\" and follows no redirect (to \"/x\")"},
      // A head ended by bare line feeds: the body is read as header lines.
      {get({"HTTP/1.1 200 OK\n", "Server: x\n", "\n", "MZ\x90\x00\n"}), "GET head",
       "FAIL      GET head: the server ends its header lines with a bare line feed; the "
       "bootstrapper ends the head only at \"\\r\\n\", so it reads the file's first bytes as "
       "header lines, fails on line 4 of the head (\"MZ\\x90"},
      {get({"HTTP/1.1 200 OK\r\n", "X: \xff\r\n"}), "GET head",
       "FAIL      GET head: line 2 of the head (\"X: \\xFF\\x0D\\x0A\") is not UTF-8"},
      {cut, "GET body", "FAIL      GET body: 9 bytes, then the server kept the connection open"},
      {slow, "GET body", "FAIL      GET body: 9 bytes by the end of the check's 120 s"},
  };
  Announced announced;
  announced.usable = true;
  announced.length = 9;
  for (const Case& c : cases) {
    const std::string got = line(judge_get(c.seen, announced, 120s), c.requirement);
    EXPECT_TRUE(got.starts_with(c.expected)) << got;
  }
}

TEST(JudgeChecksum, WhatPlayersGetFromTheServedBytes) {
  struct Case {
    bool usable;
    std::optional<uint64_t> announced;
    std::optional<std::string> unreadable;
    uint64_t served;
    std::string expected;
  };
  const std::string served = "checksum: the 9 bytes served have CRC-64/XZ ";
  const std::vector<Case> cases = {
      {true, 5, {}, 5, "ok        " + served + "5, as announced"},
      {true,
       5,
       {},
       6,
       "FAIL      " + served +
           "6, the bootstrapper expects 5: every download is "
           "thrown away"},
      {true, {}, {}, 6, "FAIL      " + served + "6, the bootstrapper expects 0"},
      // Hexadecimal: the HEAD step fails, nothing is downloaded; the line says what to write.
      {false,
       {},
       "ff",
       255,
       "FAIL      " + served +
           "255, which the header gives in hexadecimal; "
           "write it in decimal: 255"},
      {false,
       {},
       "zz",
       255,
       "--        checksum: not compared: the bootstrapper never gets past "
       "its HEAD step"},
  };
  for (const Case& c : cases) {
    Announced announced;
    announced.usable = c.usable;
    announced.crc = c.announced;
    announced.crc_text = c.unreadable;
    const GetSeen seen = get({"HTTP/1.1 200 OK\r\n", "\r\n"});
    const std::string got = format_finding(judge_checksum(seen, c.served, announced).front());
    EXPECT_TRUE(got.starts_with(c.expected)) << got;
  }
}

TEST(JudgeTls, WhoCanConnect) {
  const Error refused = Error::other("no shared cipher");
  const Handshake tls11{{}, {"TLSv1.1", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", true, "chain of 2"}};
  TlsSeen legacy_only;
  legacy_only.tls12.error = Error::other("unsupported protocol");
  legacy_only.any_version = tls11;
  for (const WindowsClient* client : {&windows10_client(), &windows7_client()}) {
    legacy_only.clients.push_back({client, {refused, {}}, tls11});
  }
  TlsSeen silent;
  silent.tls12.error = Error::kind(ErrorKind::TimedOut, "no answer from the server for 2 s");

  struct Case {
    const TlsSeen* seen;
    std::string requirement, expected;
  };
  const std::vector<Case> cases = {
      {&legacy_only, "TLS 1.2",
       "FAIL      TLS 1.2: not offered (unsupported protocol); the server speaks TLSv1.1 only. "
       "Windows 10 and Windows 7 reach it, as the bootstrapper allows TLS 1.0 and 1.1; newer "
       "Windows 11 releases turn TLS 1.0 and 1.1 off, so their players can never connect"},
      {&legacy_only, "TLS for Windows 7",
       "ok        TLS for Windows 7: TLSv1.1 with TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
      {&silent, "TLS 1.2", "FAIL      TLS 1.2: no answer to a handshake: no answer"},
      {&silent, "TLS for Windows 10", "--        TLS for Windows 10: not tried"},
  };
  for (const Case& c : cases) {
    const std::string got = line(judge_tls(*c.seen), c.requirement);
    EXPECT_TRUE(got.starts_with(c.expected)) << got;
  }
}

TEST(BodySinks, ChecksumStateResumesAndLocalCopyComparesBlockByBlock) {
  std::vector<uint8_t> file(100'000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 31 + 7);
  const std::span<const uint8_t> bytes(file);

  ChecksumSink whole;
  whole.keep_state_at(50'000);
  for (size_t at = 0; at < file.size(); at += 7'000) {
    whole.take(bytes.subspan(at, std::min<size_t>(7'000, file.size() - at)));
  }
  EXPECT_EQ(whole.crc(), crc64_xz(bytes));
  ASSERT_TRUE(whole.state_at(50'000));
  ChecksumSink rest(50'000, *whole.state_at(50'000));
  rest.take(bytes.subspan(50'000));
  EXPECT_EQ(rest.crc(), whole.crc());
  EXPECT_EQ(rest.size(), file.size());

  const std::string path = ::testing::TempDir() + "quorvel_local_copy";
  struct Case {
    std::vector<uint8_t> local;
    std::string expected;
  };
  std::vector<uint8_t> changed = file;
  changed[70'001] ^= 1;
  const std::vector<Case> cases = {
      {file, "ok        local copy: the served bytes are " + path + "'s"},
      {changed, "FAIL      local copy: the served file differs from " + path +
                    " at byte 70001: players complete the download and install the served "
                    "file, not yours"},
      {std::vector<uint8_t>(file.begin(), file.begin() + 1000),
       "FAIL      local copy: the served file and " + path +
           " differ in length (the local one ends at byte 1000): players complete the download "
           "and install the served file, not yours"},
  };
  for (const Case& c : cases) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(c.local.data(), 1, c.local.size(), f);
    std::fclose(f);
    auto sink = LocalCopySink::open(path);
    ASSERT_TRUE(sink);
    for (size_t at = 0; at < file.size(); at += 8192) {
      (*sink)->take(bytes.subspan(at, std::min<size_t>(8192, file.size() - at)));
    }
    EXPECT_EQ(format_finding(judge_local_copy((*sink)->finish(), path, true).front()), c.expected);
  }
  EXPECT_FALSE(LocalCopySink::open(::testing::TempDir()));  // a directory

  // A copy on a full disk says so, whether the write or the last flush finds it out.
  for (size_t length : {size_t{10}, file.size()}) {
    FileCopySink full(std::fopen("/dev/full", "wb"));
    full.take(bytes.first(length));
    Result<std::string> copy = full.finish();
    ASSERT_FALSE(copy);
    EXPECT_EQ(copy.error(), Error::os(ENOSPC));
  }
  auto copy = FileCopySink::make();
  ASSERT_TRUE(copy);
  (*copy)->take(bytes);
  Result<std::string> copy_path = (*copy)->finish();
  ASSERT_TRUE(copy_path);
  EXPECT_EQ(std::filesystem::file_size(*copy_path), file.size());
}

TEST(WindowsClients, EverySuiteButTripleDesIsOfferedByThisOpenSsl) {
  // A misspelt name would silently drop a suite from the handshake that stands for Windows.
  for (const WindowsClient* client : {&windows7_client(), &windows10_client()}) {
    for (std::string_view suite : client->suites) {
      if (suite.find("3DES") != std::string_view::npos) continue;
      EXPECT_FALSE(openssl_cipher_list({&suite, 1}).empty()) << client->name << ": " << suite;
    }
  }
}

TEST(Verdict, FailOutranksDegradedOutranksOkAndUncheckedCountsForNothing) {
  std::vector<Finding> findings = {{Severity::Ok, "a", ""}, {Severity::Unchecked, "u", ""}};
  EXPECT_EQ(verdict(findings), VERDICT_OK);
  findings.push_back({Severity::Degraded, "b", ""});
  EXPECT_EQ(verdict(findings), VERDICT_DEGRADED);
  findings.push_back({Severity::Fail, "c", ""});
  EXPECT_EQ(verdict(findings), VERDICT_FAIL);
}

}  // namespace
}  // namespace quorvel::check
