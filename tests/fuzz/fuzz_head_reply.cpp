// The HEAD reply as the server may send it: checks, header recognition and number reading, and
// quorvel-check's reading of the same bytes.
#include <cstdlib>
#include <string_view>

#include "check/reply_facts.h"
#include "download/http_reply.h"
#include "download/number.h"
#include "runtime/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > quorvel::MAX_HEAD_REPLY_BYTES) return 0;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  // quorvel-check's reading: every value and spelling it reports is a slice of the reply.
  const quorvel::check::HeadFacts facts = quorvel::check::head_facts(reply);
  auto inside = [&](std::string_view part) {
    if (part.size() > 0 &&
        (part.data() < reply.data() || part.data() + part.size() > reply.data() + size)) {
      std::abort();
    }
  };
  for (const auto* value : {&facts.content_length, &facts.crc64, &facts.etag}) {
    if (*value) inside(**value);
  }
  for (const auto* names :
       {&facts.content_length_misspelt, &facts.crc64_misspelt, &facts.etag_misspelt}) {
    for (std::string_view name : *names) inside(name);
  }
  auto checked = quorvel::check_head_reply(reply);
  if (!checked.ok()) {
    (void)quorvel::error_text(checked.error());
    return 0;
  }
  for (const quorvel::HeaderLine& line : quorvel::recognised_header_lines(reply)) {
    if (line.value.data() < reply.data() ||
        line.value.data() + line.value.size() > reply.data() + size) {
      std::abort();
    }
    if (!quorvel::is_valid_utf8(line.value)) std::abort();
    if (line.name != quorvel::HeaderName::ETag) {
      auto number = quorvel::parse_u64(line.value);
      if (!number.ok()) (void)quorvel::error_text(number.error());
    }
  }
  return 0;
}
