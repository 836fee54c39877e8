#include "check/signature_check.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "download/fingerprint.h"
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

// The signer's certificate and those the signature carries along, read as the bootstrapper reads
// them; or why they cannot be.
struct Signer {
  std::vector<uint8_t> certificate;
  std::string problem;
  std::vector<std::vector<uint8_t>> carried;
};

Signer signer_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  auto where = find_pe_signature(file);
  if (!where && where.error().kind() == ErrorKind::NotFound)
    return {{}, std::string(signature_reason::NO_SIGNATURE), {}};
  if (!where) return {{}, signature_reason::unreadable(where.error().message()), {}};
  auto data = parse_signed_data(where->signature);
  auto certificate =
      data ? find_certificate(data->certificates, data->signer.issuer, data->signer.serial)
           : std::nullopt;
  if (!certificate)
    return {{}, signature_reason::unreadable("the signer's certificate is missing"), {}};
  Signer signer{{certificate->begin(), certificate->end()}, {}, {}};
  for (Bytes carried : data->certificates)
    signer.carried.emplace_back(carried.begin(), carried.end());
  return signer;
}

using Certificate = std::unique_ptr<X509, void (*)(X509*)>;

Certificate read_certificate(const std::vector<uint8_t>& der) {
  const unsigned char* at = der.data();
  return {d2i_X509(nullptr, &at, static_cast<long>(der.size())), X509_free};
}

// The subject common name of a certificate.
std::optional<std::string> common_name(X509* cert) {
  if (!cert) return std::nullopt;
  X509_NAME* subject = X509_get_subject_name(cert);
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

// The CAs of the signer's chain to the roots in `roots`, as the bootstrapper judges them: the
// subject common name of the first and the SHA-256 of each (a self-signed signer is its own CA).
// No value when OpenSSL builds no chain; the dates were osslsigncode's to judge.
struct ChainCas {
  std::string issuer;
  std::vector<uint8_t> sha256;  // 32 bytes each
};

std::optional<ChainCas> chain_cas(const Signer& signer, const std::string& roots) {
  Certificate leaf = read_certificate(signer.certificate);
  std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> carried(
      sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
  std::unique_ptr<X509_STORE_CTX, void (*)(X509_STORE_CTX*)> context(X509_STORE_CTX_new(),
                                                                     X509_STORE_CTX_free);
  if (!store || !carried || !context || !leaf || !X509_STORE_load_file(store.get(), roots.c_str()))
    return std::nullopt;
  for (const auto& der : signer.carried) {
    if (Certificate cert = read_certificate(der); cert && sk_X509_push(carried.get(), cert.get()))
      cert.release();
  }
  if (!X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), carried.get()))
    return std::nullopt;
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(context.get()), X509_V_FLAG_NO_CHECK_TIME);
  if (X509_verify_cert(context.get()) != 1) return std::nullopt;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  const int count = sk_X509_num(chain);
  const int first_ca = count > 1 ? 1 : 0;
  ChainCas cas{common_name(sk_X509_value(chain, first_ca)).value_or(""), {}};
  for (int i = first_ca; i < count; ++i) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (!X509_digest(sk_X509_value(chain, i), EVP_sha256(), digest, &size)) return std::nullopt;
    cas.sha256.insert(cas.sha256.end(), digest, digest + size);
  }
  return cas;
}

}  // namespace

Finding check_launcher_signature(const std::string& path, std::span<const std::string> publishers,
                                 std::span<const std::string> issuers,
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
  const std::optional<std::string> name = common_name(read_certificate(signer.certificate).get());
  if (!name) return {Severity::Fail, REQUIREMENT, "the signer's certificate cannot be read"};
  if (std::ranges::find(publishers, *name) == publishers.end())
    return {Severity::Fail, REQUIREMENT, signature_reason::wrong_publisher(*name) + PLAYERS_SEE};
  if (!issuers.empty()) {
    const std::vector<std::string_view> wanted(issuers.begin(), issuers.end());
    const std::optional<ChainCas> cas = chain_cas(signer, roots);
    if (!cas)
      return {Severity::Fail, REQUIREMENT,
              std::string(signature_reason::UNTRUSTED_CHAIN) + PLAYERS_SEE};
    if (!any_fingerprint_names(wanted, cas->sha256))
      return {Severity::Fail, REQUIREMENT,
              signature_reason::wrong_publisher(cas->issuer, true) + PLAYERS_SEE};
  }
  const bool timestamped =
      verify.output.find("Timestamp Server Signature verification: ok") != std::string::npos;
  return {Severity::Ok, REQUIREMENT,
          "signed by \"" + *name + "\" through a trusted chain" +
              (timestamped ? ", timestamped"
                           : ", not timestamped: refused once the certificate expires")};
}

}  // namespace quorvel::check
