#include "check/signature_check.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

extern char** environ;

namespace quorvel::check {

namespace {

constexpr const char* REQUIREMENT = "launcher signature";
constexpr const char* SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt";
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
  if (output.find("No signature found") != std::string::npos) return "no signature";
  if (output.find("MISMATCH") != std::string::npos) return "digest mismatch";
  if (output.find("certificate has expired") != std::string::npos)
    return "expired without a timestamp";
  if (output.find("purpose") != std::string::npos)
    return "untrusted chain (the certificate is not for code signing)";
  const size_t error = output.find("Error: ");
  if (error == std::string::npos) return "untrusted chain";
  const size_t end = output.find('\n', error);
  return "untrusted chain (" + output.substr(error + 7, end - error - 7) + ")";
}

// The signer's subject common name, from the signature osslsigncode extracts.
std::optional<std::string> signer_name(const std::string& path) {
  std::string dir = (std::filesystem::temp_directory_path() / "quorvel-check-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return std::nullopt;
  const std::string der = dir + "/signature.der";
  const ToolRun run = run_tool({"osslsigncode", "extract-signature", "-in", path, "-out", der});
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(der.c_str(), "rb"), std::fclose);
  std::unique_ptr<PKCS7, void (*)(PKCS7*)> p7(
      run.status == 0 && file ? d2i_PKCS7_fp(file.get(), nullptr) : nullptr, PKCS7_free);
  std::filesystem::remove_all(dir);
  if (!p7) return std::nullopt;
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
  if (signers == nullptr) return std::nullopt;
  std::optional<std::string> name;
  if (sk_X509_num(signers) > 0) {
    X509_NAME* subject = X509_get_subject_name(sk_X509_value(signers, 0));
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char* text = nullptr;
    const int length = at < 0
                           ? -1
                           : ASN1_STRING_to_UTF8(
                                 &text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    name = length < 0 ? std::string() : std::string(reinterpret_cast<char*>(text), length);
    OPENSSL_free(text);
  }
  sk_X509_free(signers);
  return name;
}

}  // namespace

Finding check_launcher_signature(const std::string& path, std::span<const std::string> publishers,
                                 const std::optional<std::string>& ca_file) {
  const std::string roots = ca_file.value_or(SYSTEM_ROOTS);
  const ToolRun verify =
      run_tool({"osslsigncode", "verify", "-in", path, "-CAfile", roots, "-TSA-CAfile", roots});
  if (verify.status < 0)
    return {Severity::Fail, REQUIREMENT,
            "not checked: osslsigncode could not run (bash scripts/setup.sh installs it)"};
  if (verify.status != 0)
    return {Severity::Fail, REQUIREMENT, failure_reason(verify.output) + PLAYERS_SEE};
  const std::optional<std::string> name = signer_name(path);
  if (!name) return {Severity::Fail, REQUIREMENT, "the signer's certificate cannot be read"};
  if (std::ranges::find(publishers, *name) == publishers.end())
    return {Severity::Fail, REQUIREMENT,
            "wrong publisher: signed by \"" + *name + "\"" + PLAYERS_SEE};
  const bool timestamped =
      verify.output.find("Timestamp Server Signature verification: ok") != std::string::npos;
  return {Severity::Ok, REQUIREMENT,
          "signed by \"" + *name + "\" through a trusted chain" +
              (timestamped ? ", timestamped"
                           : ", not timestamped: refused once the certificate expires")};
}

}  // namespace quorvel::check
