// quorvel-check [--ca-file PEM] [--file LOCAL_COPY] [--launcher-publisher NAME]...
//               [--launcher-issuer SHA256]... [--mirror-url URL]... [--timeout SECONDS]
//               [--deadline SECONDS] URL
// Tells a publisher whether the server behind URL (and each mirror) serves the bootstrapper: one
// line per requirement, then a verdict. Exit status 0 every requirement met; 1 some players can
// never complete a download; 2 downloads complete but degrade; 3 unreachable or bad arguments
// (checked before any connection).
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "check/report.h"
#include "check/server_check.h"
#include "download/fingerprint.h"

namespace {

constexpr const char* USAGE =
    "usage: quorvel-check [--ca-file PEM] [--file LOCAL_COPY] [--launcher-publisher NAME]...\n"
    "                     [--launcher-issuer SHA256]... [--mirror-url URL]... [--timeout SECONDS]\n"
    "                     [--deadline SECONDS] URL\n"
    "  Checks that URL serves the bootstrapper as players' Windows machines will fetch it.\n"
    "  --ca-file PEM      trust only these root certificates (default: the system's)\n"
    "  --file LOCAL_COPY  also compare the served bytes with this file\n"
    "  --launcher-publisher NAME\n"
    "                     the served file must be signed by NAME (repeat for each name the\n"
    "                     program was built with: QUORVEL_LAUNCHER_PUBLISHERS)\n"
    "  --launcher-issuer SHA256\n"
    "                     and its chain must hold the CA certificate of this SHA-256 fingerprint\n"
    "                     (repeat for each: QUORVEL_LAUNCHER_ISSUERS)\n"
    "  --mirror-url URL   check this mirror too, and that it serves the same file (repeat\n"
    "                     for each mirror the program was built with: QUORVEL_MIRROR_URLS)\n"
    "  --timeout SECONDS  longest wait for the server at any step (default 30)\n"
    "  --deadline SECONDS longest run of the whole check (default 120); what it has not\n"
    "                     reached by then is reported as left unchecked\n"
    "With mirrors, each host is checked in turn and the verdict is the worst of them.\n"
    "Exit status: 0 every requirement met, 1 some players can never complete a download,\n"
    "2 downloads complete but degrade, 3 unreachable or bad arguments.\n";

// A number of seconds from 1 to 3600, or nothing.
std::optional<std::chrono::seconds> seconds(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 3600) return std::nullopt;
  return std::chrono::seconds(value);
}

// The worse of two verdicts: unreachable, then fail, then degraded, then ok.
int worse(int a, int b) {
  auto rank = [](int verdict) {
    switch (verdict) {
      case quorvel::check::VERDICT_UNREACHABLE:
        return 3;
      case quorvel::check::VERDICT_FAIL:
        return 2;
      case quorvel::check::VERDICT_DEGRADED:
        return 1;
      default:
        return 0;
    }
  };
  return rank(a) >= rank(b) ? a : b;
}

// One URL's check, its lines as they come; a host that cannot be reached says why on stderr.
int check_one(const quorvel::check::CheckOptions& options, quorvel::check::Report& report,
              quorvel::check::Announced* announced) {
  std::printf("checking %s as the bootstrapper fetches it\n", options.url.c_str());
  std::fflush(stdout);
  std::string fatal;
  const int status = quorvel::check::run_server_check(options, report, fatal, announced);
  if (status == quorvel::check::VERDICT_UNREACHABLE) {
    std::fprintf(stderr, "quorvel-check: %s\n", fatal.c_str());
  }
  return status;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "quorvel-check: %s\n%s", message.c_str(), USAGE);
  return quorvel::check::VERDICT_UNREACHABLE;
}

}  // namespace

int main(int argc, char** argv) {
  // A server that closes first must not end the check with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);

  quorvel::check::CheckOptions options;
  bool have_url = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (arg == "--ca-file" || arg == "--file" || arg == "--timeout" || arg == "--deadline" ||
               arg == "--launcher-publisher" || arg == "--launcher-issuer" ||
               arg == "--mirror-url") {
      if (i + 1 >= argc) return usage_error(arg + " needs a value");
      const char* v = argv[++i];
      if (arg == "--ca-file") {
        options.ca_file = v;
      } else if (arg == "--file") {
        options.local_file = v;
      } else if (arg == "--mirror-url") {
        options.mirrors.push_back(v);
      } else if (arg == "--launcher-publisher") {
        if (*v == '\0') return usage_error("--launcher-publisher needs a non-empty name");
        options.publishers.push_back(v);
      } else if (arg == "--launcher-issuer") {
        if (!quorvel::is_sha256_fingerprint(v))
          return usage_error(
              "--launcher-issuer needs a CA certificate's SHA-256 fingerprint, 64 "
              "hex digits");
        options.issuers.push_back(v);
      } else if (auto value = seconds(v)) {
        (arg == "--timeout" ? options.each_wait : options.whole_run) = *value;
      } else {
        return usage_error(arg + " needs a number of seconds from 1 to 3600");
      }
    } else if (arg.starts_with("-")) {
      return usage_error("unknown option " + arg);
    } else if (have_url) {
      return usage_error("only one URL, please");
    } else {
      options.url = arg;
      have_url = true;
    }
  }
  if (!have_url) return usage_error("no URL given");
  if (!options.issuers.empty() && options.publishers.empty())
    return usage_error("--launcher-issuer needs --launcher-publisher");
  if (auto wrong = quorvel::check::check_arguments(options)) {
    std::fprintf(stderr, "quorvel-check: %s\n", wrong->c_str());
    return quorvel::check::VERDICT_UNREACHABLE;
  }
  options.show_progress = isatty(STDERR_FILENO);

  quorvel::check::Report report([](const quorvel::check::Finding& finding) {
    std::printf("%s\n", quorvel::check::format_finding(finding).c_str());
    std::fflush(stdout);
  });
  quorvel::check::Announced primary;
  int status = check_one(options, report, &primary);
  if (!options.mirrors.empty()) {
    std::vector<quorvel::check::HostAnnounced> mirrors;
    for (const std::string& mirror : options.mirrors) {
      quorvel::check::CheckOptions one = options;
      one.url = mirror;
      quorvel::check::Announced announced;
      const int mirror_status = check_one(one, report, &announced);
      status = worse(status, mirror_status);
      mirrors.push_back({mirror, mirror_status == quorvel::check::VERDICT_UNREACHABLE
                                     ? std::nullopt
                                     : std::optional(announced)});
    }
    std::printf("comparing the mirrors with %s\n", options.url.c_str());
    const auto compared = quorvel::check::judge_release_hosts(primary, mirrors);
    for (const auto& finding : compared)
      report.add(finding.severity, finding.requirement, finding.text);
    status = worse(status, quorvel::check::verdict(compared));
  }
  std::printf("%s\n", quorvel::check::verdict_line(status).c_str());
  return status;
}
