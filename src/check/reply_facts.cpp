#include "check/reply_facts.h"

#include "runtime/utf.h"

namespace quorvel::check {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim_ascii(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// A header line split at its first colon: the name as sent (spaces before the colon kept) and the
// trimmed value. No colon: no header.
struct RawHeader {
  std::string_view name_with_colon;
  std::string_view name;  // without trailing blanks
  std::string_view value;
};

std::optional<RawHeader> raw_header(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  RawHeader header;
  header.name_with_colon = line.substr(0, colon + 1);
  header.name = line.substr(0, colon);
  while (!header.name.empty() && (header.name.back() == ' ' || header.name.back() == '\t')) {
    header.name.remove_suffix(1);
  }
  header.value = trim_ascii(line.substr(colon + 1));
  return header;
}

}  // namespace

int status_code(std::string_view status_line) {
  if (!status_line.starts_with("HTTP/")) return 0;
  const size_t space = status_line.find(' ');
  if (space == std::string_view::npos || status_line.size() < space + 4) return 0;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    const char c = status_line[i];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  if (status_line.size() > space + 4 && status_line[space + 4] >= '0' &&
      status_line[space + 4] <= '9') {
    return 0;
  }
  return code;
}

std::string printable(std::string_view text, size_t max) {
  std::string shown;
  for (size_t i = 0; i < text.size() && i < max; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      static constexpr char HEX[] = "0123456789ABCDEF";
      shown += {'\\', 'x', HEX[c >> 4], HEX[c & 15]};
    }
  }
  if (text.size() > max) shown += "...";
  return shown;
}

static Rejection rejection_of(const Result<void>& checked) {
  if (checked) return Rejection::None;
  return checked.error().kind() == ErrorKind::InvalidData ? Rejection::NotUtf8 : Rejection::Status;
}

HeadFacts head_facts(std::string_view reply) {
  HeadFacts facts;
  facts.rejection = rejection_of(check_head_reply(reply));
  facts.status_line = trim_ascii(reply.substr(0, reply.find('\n')));
  facts.status_code = status_code(facts.status_line);

  for (const HeaderLine& line : recognised_header_lines(reply)) {
    switch (line.name) {
      case HeaderName::ContentLength:
        facts.content_length = line.value;
        ++facts.content_length_lines;
        break;
      case HeaderName::Crc64:
        facts.crc64 = line.value;
        ++facts.crc64_lines;
        break;
      case HeaderName::ETag:
        facts.etag = line.value;
        ++facts.etag_lines;
        break;
    }
  }

  struct Name {
    std::string_view exact;  // the only spelling recognised, colon included
    std::vector<std::string_view>* misspelt;
  };
  const Name names[] = {{"Content-Length:", &facts.content_length_misspelt},
                        {"x-oss-hash-crc64ecma:", &facts.crc64_misspelt},
                        {"ETag:", &facts.etag_misspelt}};
  const std::vector<std::string_view> lines = reply_lines(reply);
  bool in_head = true;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (facts.bad_utf8_line == 0 && !is_valid_utf8(line)) {
      facts.bad_utf8_line = static_cast<int>(i + 1);
      facts.bad_utf8_text = printable(line);
      facts.bad_utf8_after_head = !in_head;
    }
    if (i == 0 || !in_head) continue;  // the status line; the body
    if (line.empty()) {
      in_head = false;
      const size_t end = static_cast<size_t>(line.data() - reply.data());
      const size_t feed = reply.find('\n', end);
      facts.bytes_after_head = feed == std::string_view::npos ? 0 : reply.size() - feed - 1;
      continue;
    }
    const auto header = raw_header(line);
    if (!header) continue;
    for (const Name& name : names) {
      const std::string_view bare = name.exact.substr(0, name.exact.size() - 1);
      if (equals_ignoring_case(header->name, bare) && !line.starts_with(name.exact)) {
        name.misspelt->push_back(header->name_with_colon);
      }
    }
  }
  return facts;
}

GetFacts get_facts(std::span<const std::string> head_lines) {
  GetFacts facts;
  if (head_lines.empty()) {
    facts.rejection = Rejection::Status;
    return facts;
  }
  facts.rejection = rejection_of(check_get_status_line(head_lines[0]));
  facts.status_line = trim_ascii(head_lines[0]);
  facts.status_code = status_code(facts.status_line);
  struct Wanted {
    std::string_view name;
    std::optional<std::string_view>* value;
  };
  const Wanted wanted[] = {{"Transfer-Encoding", &facts.transfer_encoding},
                           {"Content-Encoding", &facts.content_encoding},
                           {"Content-Range", &facts.content_range},
                           {"Location", &facts.location},
                           {"Content-Length", &facts.content_length}};
  for (size_t i = 1; i < head_lines.size(); ++i) {
    const auto header = raw_header(head_lines[i]);
    if (!header) continue;
    for (const Wanted& w : wanted) {
      if (equals_ignoring_case(header->name, w.name)) *w.value = header->value;
    }
  }
  return facts;
}

bool is_transformed_body(std::optional<std::string_view> coding) {
  if (!coding) return false;
  const std::string_view value = trim_ascii(*coding);
  return !value.empty() && !equals_ignoring_case(value, "identity");
}

}  // namespace quorvel::check
