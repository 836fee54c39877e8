// The rules a download URL must keep to be built into the program: the URL split must accept it,
// and what it says must be what the program does with it. The build's URL check and the
// publisher's server check both apply these, through this one function.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

enum class UrlRule {
  NotEmpty,
  HttpsScheme,       // every URL is fetched over TLS: a URL that says otherwise misleads
  NoSpaceOrControl,  // the URL goes into the request line and Host header as it is
  OneDoubleSlash,    // the split needs "//" exactly once
  PortNumber,        // from 1 to 65535
  HostNamed,
  FileNamed,  // a path must follow the host
};

struct BrokenUrlRule {
  UrlRule rule;
  std::string detail;  // the number reader's text for a port that is not a number; else empty
};

// The first rule the URL breaks, or nothing when it may be built in.
std::optional<BrokenUrlRule> broken_url_rule(std::string_view url);

// "the URL must begin with \"https://\"", ...
std::string url_rule_text(const BrokenUrlRule& broken);

}  // namespace quorvel
