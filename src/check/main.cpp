// quorvel-check [--ca-file PEM] [--file LOCAL_COPY] [--launcher-publisher NAME]... [--timeout
// SECONDS]
//               URL
// Tells a publisher whether the server behind URL serves the bootstrapper: one line per
// requirement, then a verdict. Exit status 0 every requirement met; 1 some players can never
// complete a download; 2 downloads complete but degrade; 3 unreachable or bad arguments.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "check/report.h"
#include "check/server_check.h"

namespace {

constexpr const char* USAGE =
    "usage: quorvel-check [--ca-file PEM] [--file LOCAL_COPY] [--launcher-publisher NAME]...\n"
    "                     [--timeout SECONDS] URL\n"
    "  Checks that URL serves the bootstrapper as players' Windows machines will fetch it.\n"
    "  --ca-file PEM      trust only these root certificates (default: the system's)\n"
    "  --file LOCAL_COPY  also compare the served bytes with this file\n"
    "  --launcher-publisher NAME\n"
    "                     the served file must be signed by NAME (repeat for each name the\n"
    "                     program was built with: QUORVEL_LAUNCHER_PUBLISHERS)\n"
    "  --timeout SECONDS  longest wait for the server at any step (default 30)\n"
    "Exit status: 0 every requirement met, 1 some players can never complete a download,\n"
    "2 downloads complete but degrade, 3 unreachable or bad arguments.\n";

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
    } else if (arg == "--ca-file" || arg == "--file" || arg == "--timeout" ||
               arg == "--launcher-publisher") {
      if (i + 1 >= argc) return usage_error(arg + " needs a value");
      const char* v = argv[++i];
      if (arg == "--ca-file") {
        options.ca_file = v;
      } else if (arg == "--file") {
        options.local_file = v;
      } else if (arg == "--launcher-publisher") {
        if (*v == '\0') return usage_error("--launcher-publisher needs a non-empty name");
        options.publishers.push_back(v);
      } else {
        char* end = nullptr;
        const long seconds = std::strtol(v, &end, 10);
        if (*v == '\0' || *end != '\0' || seconds < 1 || seconds > 3600) {
          return usage_error("--timeout needs a number of seconds from 1 to 3600");
        }
        options.timeout_seconds = static_cast<int>(seconds);
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
  options.show_progress = isatty(STDERR_FILENO);

  std::printf("checking %s as the bootstrapper fetches it\n", options.url.c_str());
  std::fflush(stdout);
  quorvel::check::Report report([](const quorvel::check::Finding& finding) {
    std::printf("%s\n", quorvel::check::format_finding(finding).c_str());
    std::fflush(stdout);
  });
  std::string fatal;
  const int status = quorvel::check::run_server_check(options, report, fatal);
  if (status == quorvel::check::VERDICT_UNREACHABLE) {
    std::fprintf(stderr, "quorvel-check: %s\n", fatal.c_str());
    return status;
  }
  std::printf("%s\n", quorvel::check::verdict_line(status).c_str());
  return status;
}
