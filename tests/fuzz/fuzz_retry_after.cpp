// A refused reply's head as the server sent it, read for its status and Retry-After: every input
// ends in a wait that is never negative, or in nothing.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/retry_after.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  if (auto found = quorvel::retry_after_of(head, 1796785200)) {
    if (found->wait.count() < 0) std::abort();
  }
  if (auto wait = quorvel::parse_retry_after(head, 0)) {
    if (wait->count() < 0) std::abort();
  }
  (void)quorvel::parse_http_date(head, 2026);
  return 0;
}
