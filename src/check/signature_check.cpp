#include "check/signature_check.h"

#include <openssl/x509.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "download/pe_signature.h"
#include "download/signature_reasons.h"
#include "download/signed_data.h"

extern char** environ;

namespace quorvel::check {

namespace {

constexpr const char* REQUIREMENT = "launcher signature";
constexpr const char* SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt";
constexpr const char* NOT_FOR_CODE = " (the certificate is not for code signing)";
constexpr const char* PLAYERS_SEE =
    ": players' bootstrappers refuse it, delete it and download it again every 3 seconds";

struct ToolRun {
  int status = -1;     // exit status; -1 when it could not be started or was killed
  std::string output;  // standard output and standard error together
};

ToolRun run_tool(std::vector<std::string> args) {
  ToolRun run;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  char buffer[4096];
  ssize_t n;
  while (spawned == 0 && (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
    run.output.append(buffer, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

// The reason osslsigncode's report gives, in the bootstrapper's words.
std::string failure_reason(const std::string& output) {
  using namespace signature_reason;
  if (output.find("No signature found") != std::string::npos) return std::string(NO_SIGNATURE);
  if (output.find("MISMATCH") != std::string::npos ||
      output.find("digest failure") != std::string::npos)
    return std::string(DIGEST_MISMATCH);
  if (output.find("certificate has expired") != std::string::npos) return std::string(EXPIRED);
  if (output.find("purpose") != std::string::npos)
    return std::string(UNTRUSTED_CHAIN) + NOT_FOR_CODE;
  const size_t error = output.find("Error: ");
  if (error == std::string::npos) return std::string(UNTRUSTED_CHAIN);
  const size_t end = output.find('\n', error);
  return std::string(UNTRUSTED_CHAIN) + " (" + output.substr(error + 7, end - error - 7) + ")";
}

// The signer's certificate, read as the bootstrapper reads it; or why it cannot be.
struct Signer {
  std::vector<uint8_t> certificate;
  std::string problem;
};

Signer signer_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  auto where = find_pe_signature(file);
  if (!where && where.error().kind() == ErrorKind::NotFound)
    return {{}, std::string(signature_reason::NO_SIGNATURE)};
  if (!where) return {{}, signature_reason::unreadable(where.error().message())};
  auto data = parse_signed_data(where->signature);
  auto certificate =
      data ? find_certificate(data->certificates, data->signer.issuer, data->signer.serial)
           : std::nullopt;
  if (!certificate)
    return {{}, signature_reason::unreadable("the signer's certificate is missing")};
  return {{certificate->begin(), certificate->end()}, {}};
}

// The subject common name of a DER certificate.
std::optional<std::string> common_name(const std::vector<uint8_t>& der) {
  const unsigned char* at = der.data();
  std::unique_ptr<X509, void (*)(X509*)> cert(d2i_X509(nullptr, &at, static_cast<long>(der.size())),
                                              X509_free);
  if (!cert) return std::nullopt;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return std::string();
  unsigned char* text = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) return std::nullopt;
  std::string name(reinterpret_cast<char*>(text), static_cast<size_t>(length));
  OPENSSL_free(text);
  return name;
}

}  // namespace

Finding check_launcher_signature(const std::string& path, std::span<const std::string> publishers,
                                 const std::optional<std::string>& ca_file) {
  // What the bootstrapper reads itself comes first, as it does there: the file's layout and the
  // signer's certificate.
  const Signer signer = signer_of(path);
  if (!signer.problem.empty()) return {Severity::Fail, REQUIREMENT, signer.problem + PLAYERS_SEE};
  const std::string roots = ca_file.value_or(SYSTEM_ROOTS);
  const ToolRun verify =
      run_tool({"osslsigncode", "verify", "-in", path, "-CAfile", roots, "-TSA-CAfile", roots});
  if (verify.status < 0)
    return {Severity::Fail, REQUIREMENT,
            "not checked: osslsigncode could not run (bash scripts/setup.sh installs it)"};
  if (verify.status != 0)
    return {Severity::Fail, REQUIREMENT, failure_reason(verify.output) + PLAYERS_SEE};
  // A certificate without extended key usages is valid for any purpose to OpenSSL, for none to
  // the bootstrapper.
  auto facts = parse_certificate(signer.certificate);
  if (!facts || !facts->has_usage(oid::CODE_SIGNING))
    return {Severity::Fail, REQUIREMENT,
            std::string(signature_reason::UNTRUSTED_CHAIN) + NOT_FOR_CODE + PLAYERS_SEE};
  const std::optional<std::string> name = common_name(signer.certificate);
  if (!name) return {Severity::Fail, REQUIREMENT, "the signer's certificate cannot be read"};
  if (std::ranges::find(publishers, *name) == publishers.end())
    return {Severity::Fail, REQUIREMENT, signature_reason::wrong_publisher(*name) + PLAYERS_SEE};
  const bool timestamped =
      verify.output.find("Timestamp Server Signature verification: ok") != std::string::npos;
  return {Severity::Ok, REQUIREMENT,
          "signed by \"" + *name + "\" through a trusted chain" +
              (timestamped ? ", timestamped"
                           : ", not timestamped: refused once the certificate expires")};
}

}  // namespace quorvel::check
