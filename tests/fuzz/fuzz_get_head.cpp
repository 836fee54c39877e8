// The GET reply's head, split into lines the way the reader does (up to and including a line feed,
// or to the end), fed to the parser until it reports the end of the head; and the same lines as
// quorvel-check reads them.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "check/reply_facts.h"
#include "download/http_reply.h"

namespace {

void check_tool_reads(const std::vector<std::string>& lines) {
  const quorvel::check::GetFacts facts = quorvel::check::get_facts(lines);
  if (facts.status_code < 0 || facts.status_code > 999) std::abort();
  (void)quorvel::check::is_transformed_body(facts.transfer_encoding);
  (void)quorvel::check::is_transformed_body(facts.content_encoding);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  quorvel::GetHeadParser parser;
  std::vector<std::string> lines;
  struct AtExit {
    std::vector<std::string>& lines;
    ~AtExit() { check_tool_reads(lines); }
  } at_exit{lines};
  while (!rest.empty()) {
    const size_t feed = rest.find('\n');
    const size_t length = feed == std::string_view::npos ? rest.size() : feed + 1;
    if (length > quorvel::MAX_GET_HEAD_LINE_BYTES) return 0;
    lines.emplace_back(rest.substr(0, length));
    auto done = parser.feed_line(lines.back());
    rest.remove_prefix(length);
    if (!done.ok()) {
      (void)quorvel::error_text(done.error());
      return 0;
    }
    if (*done) return 0;
  }
  return 0;
}
