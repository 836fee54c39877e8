#include "download/url_rules.h"

#include "download/download_url.h"

namespace quorvel {

std::optional<BrokenUrlRule> broken_url_rule(std::string_view url) {
  if (url.empty()) return BrokenUrlRule{UrlRule::NotEmpty, {}};
  if (!url.starts_with("https://")) return BrokenUrlRule{UrlRule::HttpsScheme, {}};
  for (const unsigned char c : url) {
    if (c <= ' ' || c == 0x7f) return BrokenUrlRule{UrlRule::NoSpaceOrControl, {}};
  }
  if (!has_one_double_slash(url)) return BrokenUrlRule{UrlRule::OneDoubleSlash, {}};
  // Past its "//" rule, the split fails only on the port, with the number reader's text.
  auto parsed = parse_download_url(url);
  if (!parsed) return BrokenUrlRule{UrlRule::PortNumber, parsed.error().message()};
  if (parsed->host.empty()) return BrokenUrlRule{UrlRule::HostNamed, {}};
  if (parsed->path == "/") return BrokenUrlRule{UrlRule::FileNamed, {}};
  if (parsed->port == 0) return BrokenUrlRule{UrlRule::PortNumber, {}};
  return std::nullopt;
}

std::string url_rule_text(const BrokenUrlRule& broken) {
  switch (broken.rule) {
    case UrlRule::NotEmpty:
      return "the URL is empty";
    case UrlRule::HttpsScheme:
      return "the URL must begin with \"https://\"";
    case UrlRule::NoSpaceOrControl:
      return "the URL contains a space or a control character";
    case UrlRule::OneDoubleSlash:
      return "Invalid URL format: \"//\" must occur exactly once, after \"https:\"";
    case UrlRule::PortNumber:
      return broken.detail.empty() ? "the port must be a number from 1 to 65535, not 0"
                                   : "the port must be a number from 1 to 65535: " + broken.detail;
    case UrlRule::HostNamed:
      return "the URL names no host";
    case UrlRule::FileNamed:
      return "the URL names no file: a path must follow the host";
  }
  return "the URL breaks a rule";
}

}  // namespace quorvel
