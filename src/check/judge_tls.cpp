#include "check/judge.h"

namespace quorvel::check {

namespace {

std::string joined_names(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

Finding judge_protocol(const TlsSeen& seen) {
  const std::string requirement = "TLS 1.2";
  if (seen.tls12.ok()) return {Severity::Ok, requirement, "offered"};
  const std::string why = error_text(*seen.tls12.error);
  if (!seen.any_version) return {Severity::Fail, requirement, "no answer to a handshake: " + why};
  if (!seen.any_version->ok()) {
    return {Severity::Fail, requirement, "no TLS handshake at all: " + why};
  }
  const std::string& version = seen.any_version->facts.version;
  if (version != "TLSv1" && version != "TLSv1.1") {
    return {Severity::Fail, requirement,
            "not offered (" + why + "); the server speaks " + version +
                " only, which the bootstrapper never speaks (it speaks TLS 1.0 to 1.2): no "
                "player can connect"};
  }
  std::vector<std::string> reach;
  for (const ClientHandshakes& tried : seen.clients) {
    if (tried.legacy && tried.legacy->ok()) reach.emplace_back(tried.client->name);
  }
  std::string text = "not offered (" + why + "); the server speaks " + version + " only. ";
  text += reach.empty() ? std::string("No Windows client reaches it with its suites")
                        : joined_names(reach) +
                              " reach it, as the bootstrapper allows TLS 1.0 "
                              "and 1.1";
  text +=
      "; newer Windows 11 releases turn TLS 1.0 and 1.1 off, so their players can never "
      "connect";
  return {Severity::Fail, requirement, text};
}

}  // namespace

Findings judge_tls(const TlsSeen& seen) {
  Findings findings{judge_protocol(seen)};
  const Handshake* session = seen.tls12.ok()                              ? &seen.tls12
                             : seen.any_version && seen.any_version->ok() ? &*seen.any_version
                                                                          : nullptr;
  if (session) {
    findings.push_back({session->facts.certificate_ok ? Severity::Ok : Severity::Fail,
                        "certificate", session->facts.certificate_text});
  } else {
    findings.push_back({Severity::Unchecked, "certificate", "not seen: no handshake completed"});
  }
  if (seen.clients.empty()) {
    for (const WindowsClient* client : {&windows10_client(), &windows7_client()}) {
      findings.push_back({Severity::Unchecked, "TLS for " + std::string(client->name),
                          "not tried: the server did not answer a handshake"});
    }
  }
  for (const ClientHandshakes& tried : seen.clients) {
    const std::string name(tried.client->name);
    const std::string requirement = "TLS for " + name;
    if (tried.tls12.ok()) {
      findings.push_back({Severity::Ok, requirement, "TLS 1.2 with " + tried.tls12.facts.suite});
    } else if (tried.legacy && tried.legacy->ok()) {
      findings.push_back({Severity::Ok, requirement,
                          tried.legacy->facts.version + " with " + tried.legacy->facts.suite});
    } else if (seen.tls12.ok()) {
      findings.push_back({Severity::Fail, requirement,
                          "no TLS 1.2 cipher suite in common with its Schannel (" +
                              error_text(*tried.tls12.error) + "): every " + name +
                              " player is locked out; see docs/serving.md for the suites it "
                              "offers"});
    } else {
      const Handshake& last = tried.legacy ? *tried.legacy : tried.tls12;
      findings.push_back({Severity::Fail, requirement, "no handshake: " + error_text(*last.error)});
    }
  }
  return findings;
}

}  // namespace quorvel::check
