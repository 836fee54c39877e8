// The GET reply's head, split into lines the way the reader does (up to and including a line feed,
// or to the end), fed to the parser until it reports the end of the head.
#include <cstdlib>
#include <string_view>

#include "download/http_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  quorvel::GetHeadParser parser;
  while (!rest.empty()) {
    const size_t feed = rest.find('\n');
    const size_t length = feed == std::string_view::npos ? rest.size() : feed + 1;
    if (length > quorvel::MAX_GET_HEAD_LINE_BYTES) return 0;
    auto done = parser.feed_line(rest.substr(0, length));
    rest.remove_prefix(length);
    if (!done.ok()) {
      (void)quorvel::error_text(done.error());
      return 0;
    }
    if (*done) return 0;
  }
  return 0;
}
