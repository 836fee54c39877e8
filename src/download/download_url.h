// The fixed download URL and its split into host, port and path. The host is a slice of the URL
// text, so the URL must outlive the DownloadUrl.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace quorvel {

// Chosen at build time (QUORVEL_DOWNLOAD_URL).
extern const char DOWNLOAD_URL[];

// Hosts serving the same launcher, tried in this order after the download URL has failed; chosen
// at build time (QUORVEL_MIRROR_URLS), empty unless the publisher names some.
std::span<const std::string_view> mirror_urls();

struct DownloadUrl {
  std::string_view host;  // TCP host, TLS server name and Host header
  uint16_t port = 443;
  std::string path;  // always begins with "/"
};

// The split's first rule: "//" occurs exactly once, between the scheme and the authority.
bool has_one_double_slash(std::string_view url);

// Every URL is fetched over TLS: the scheme is not examined and the default port is 443.
Result<DownloadUrl> parse_download_url(std::string_view url);

}  // namespace quorvel
