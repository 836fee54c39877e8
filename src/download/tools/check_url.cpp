// Checks a download URL at build time with the program's own URL split, so that a URL the program
// would reject, or one it would fetch without naming a file, stops the build instead of failing on
// every player's machine. Usage: check_url URL. Prints nothing and exits 0 when the URL is good;
// otherwise prints one line that says what is wrong and exits 1.
#include <cstdio>
#include <string_view>

#include "download/download_url.h"

namespace {

int reject(const char* what) {
  std::printf("%s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s URL\n", argv[0]);
    return 2;
  }
  const std::string_view url = argv[1];
  if (url.empty()) return reject("the URL is empty");
  // The program fetches every URL over TLS, whatever its scheme says; a URL that says otherwise
  // misleads whoever reads it.
  if (!url.starts_with("https://")) return reject("the URL must begin with \"https://\"");
  // The URL goes into the request line and the Host header as it is: a space or a line break
  // there would break the request.
  for (const unsigned char c : url) {
    if (c <= ' ' || c == 0x7f) return reject("the URL contains a space or a control character");
  }

  auto parsed = quorvel::parse_download_url(url);
  if (!parsed) {
    const auto& message = parsed.error().message();
    if (message == "Invalid URL format") {
      return reject("Invalid URL format: \"//\" must occur exactly once, after \"https:\"");
    }
    std::printf("the port must be a number from 1 to 65535: %s\n", message.c_str());
    return 1;
  }
  if (parsed->host.empty()) return reject("the URL names no host");
  if (parsed->path == "/") return reject("the URL names no file: a path must follow the host");
  if (parsed->port == 0) return reject("the port must be a number from 1 to 65535, not 0");
  return 0;
}
