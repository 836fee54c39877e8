// The URL split must never read outside its input, and what it yields must be a slice of it.
#include <cstdlib>
#include <string_view>

#include "download/download_url.h"
#include "download/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  auto parsed = quorvel::parse_download_url(url);
  if (!parsed.ok()) {
    (void)quorvel::error_text(parsed.error());
    return 0;
  }
  const quorvel::DownloadUrl& result = *parsed;
  if (!result.host.empty() && (result.host.data() < url.data() ||
                               result.host.data() + result.host.size() > url.data() + size)) {
    std::abort();
  }
  if (result.path.empty() || result.path.front() != '/') std::abort();
  (void)quorvel::format_get_request(result.path, result.host, result.port);
  return 0;
}
