#include "download/download_url.h"

#include "download/number.h"

namespace quorvel {

bool has_one_double_slash(std::string_view url) {
  const size_t separator = url.find("//");
  return separator != std::string_view::npos &&
         url.find("//", separator + 2) == std::string_view::npos;
}

Result<DownloadUrl> parse_download_url(std::string_view url) {
  // Exactly one "//": the scheme before it, the authority and path after it.
  if (!has_one_double_slash(url)) return Error::kind(ErrorKind::InvalidInput, "Invalid URL format");
  const size_t separator = url.find("//");
  const std::string_view rest = url.substr(separator + 2);

  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  DownloadUrl result;
  result.path = "/";
  if (slash != std::string_view::npos) result.path.append(rest.substr(slash + 1));

  const size_t colon = authority.find(':');
  if (colon == std::string_view::npos) {
    result.host = authority;
    return result;
  }
  result.host = authority.substr(0, colon);
  auto port = parse_u16(authority.substr(colon + 1));
  if (!port) return port.take_error();
  result.port = *port;
  return result;
}

}  // namespace quorvel
