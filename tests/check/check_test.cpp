// What quorvel-check decides from bytes alone: near-miss header spellings, body framing, the
// Windows suite lists and the verdict.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/reply_facts.h"
#include "check/report.h"
#include "check/tls_client.h"
#include "check/windows_clients.h"

namespace quorvel::check {
namespace {

using Names = std::vector<std::string_view>;

TEST(HeadFacts, OtherSpellingsAreNamedAndNotRecognised) {
  // Go (Caddy) canonicalises names; HAProxy lower-cases them; a space before the colon.
  const HeadFacts facts = head_facts(
      "HTTP/1.1 200 OK\r\n"
      "content-length: 10\r\n"
      "Etag: \"a\"\r\n"
      "X-Oss-Hash-Crc64ecma: 5\r\n"
      "ETag : \"b\"\r\n"
      "x-oss-hash-crc64ecma: 7\r\n"
      "\r\n");
  EXPECT_EQ(facts.rejection, Rejection::None);
  EXPECT_EQ(facts.status_line, "HTTP/1.1 200 OK");
  EXPECT_FALSE(facts.content_length);
  EXPECT_FALSE(facts.etag);
  EXPECT_EQ(facts.crc64, "7");
  EXPECT_EQ(facts.content_length_misspelt, (Names{"content-length:"}));
  EXPECT_EQ(facts.etag_misspelt, (Names{"Etag:", "ETag :"}));
  EXPECT_EQ(facts.crc64_misspelt, (Names{"X-Oss-Hash-Crc64ecma:"}));
}

TEST(HeadFacts, LastRecognisedLineWinsAndIsCounted) {
  const HeadFacts facts = head_facts(
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\nETag: \"x\"\r\n\r\n");
  EXPECT_EQ(facts.content_length, "2");
  EXPECT_EQ(facts.content_length_lines, 2);
  EXPECT_EQ(facts.etag, "\"x\"");
  EXPECT_TRUE(facts.etag_misspelt.empty());
}

TEST(HeadFacts, RejectedStatusCarriesTheBootstrappersTextAndNoHeaders) {
  const HeadFacts facts = head_facts("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n");
  ASSERT_EQ(facts.rejection, Rejection::Status);

  EXPECT_FALSE(facts.content_length);
}

TEST(GetFacts, StatusCodeAndBodyFraming) {
  const std::vector<std::string> lines = {"HTTP/1.1 200 OK\r\n", "transfer-encoding: chunked\r\n",
                                          "Content-Encoding : identity\r\n", "\r\n"};
  const GetFacts facts = get_facts(lines);
  EXPECT_EQ(facts.rejection, Rejection::None);
  EXPECT_EQ(facts.status_code, 200);
  EXPECT_TRUE(is_transformed_body(facts.transfer_encoding));
  EXPECT_FALSE(is_transformed_body(facts.content_encoding));
  EXPECT_TRUE(is_transformed_body(std::string_view("gzip")));
  EXPECT_FALSE(is_transformed_body(std::nullopt));

  const std::vector<std::string> redirect = {"HTTP/1.1 301 Moved\r\n", "Location: /x\r\n"};
  const GetFacts moved = get_facts(redirect);
  ASSERT_EQ(moved.rejection, Rejection::Status);
  EXPECT_EQ(moved.status_code, 301);
  EXPECT_EQ(moved.location, "/x");

  EXPECT_EQ(status_code("HTTP/1.1 2000 OK"), 0);
  EXPECT_EQ(status_code("HTTP/2 416"), 416);
  EXPECT_EQ(status_code("HTTP/1.1 20"), 0);
  EXPECT_EQ(get_facts({}).rejection, Rejection::Status);
}

TEST(WindowsClients, EverySuiteButTripleDesIsOfferedByThisOpenSsl) {
  // A misspelt name would silently drop a suite from the handshake that stands for Windows.
  for (const WindowsClient* client : {&windows7_client(), &windows10_client()}) {
    for (std::string_view suite : client->suites) {
      if (suite.find("3DES") != std::string_view::npos) continue;
      EXPECT_FALSE(openssl_cipher_list({&suite, 1}).empty()) << client->name << ": " << suite;
    }
  }
  const std::string_view gcm = "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
  EXPECT_EQ(openssl_cipher_list({&gcm, 1}), "ECDHE-RSA-AES128-GCM-SHA256");
}

TEST(Verdict, FailOutranksDegradedOutranksOk) {
  std::vector<Finding> findings = {{Severity::Ok, "a", ""}};
  EXPECT_EQ(verdict(findings), VERDICT_OK);
  findings.push_back({Severity::Degraded, "b", ""});
  EXPECT_EQ(verdict(findings), VERDICT_DEGRADED);
  findings.push_back({Severity::Fail, "c", ""});
  EXPECT_EQ(verdict(findings), VERDICT_FAIL);
  EXPECT_EQ(format_finding({Severity::Degraded, "ETag", "missing"}), "DEGRADED  ETag: missing");
}

}  // namespace
}  // namespace quorvel::check
