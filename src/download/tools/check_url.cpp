// Checks a download URL at build time with the rules the program's URL split and requests imply,
// so that a URL the program would reject, or one it would fetch without naming a file, stops the
// build instead of failing on every player's machine. Usage: check_url URL. Prints nothing and
// exits 0 when the URL is good; otherwise prints one line that says what is wrong and exits 1.
#include <cstdio>

#include "download/url_rules.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s URL\n", argv[0]);
    return 2;
  }
  if (auto broken = quorvel::broken_url_rule(argv[1])) {
    std::printf("%s\n", quorvel::url_rule_text(*broken).c_str());
    return 1;
  }
  return 0;
}
