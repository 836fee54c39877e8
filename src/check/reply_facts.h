// What a server's replies say, read with the bootstrapper's own parsers, plus what those parsers
// ignore: the same header lines in other spellings, the status code, bytes that are not UTF-8 and
// how the body is framed. Pure functions over bytes already read (and capped) by the caller, so
// they are tested and fuzzed without a connection.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/http_reply.h"

namespace quorvel::check {

// Why the bootstrapper refuses a reply, if it does.
enum class Rejection { None, NotUtf8, Status };

// The HEAD reply as the bootstrapper reads it, plus the near misses it would ignore.
struct HeadFacts {
  Rejection rejection = Rejection::None;
  std::string_view status_line;  // the first line, without its line end
  int status_code = 0;
  // The first line that is not UTF-8 (1 = the status line), shown with \xNN escapes.
  int bad_utf8_line = 0;
  std::string bad_utf8_text;
  bool bad_utf8_after_head = false;  // in bytes that follow the head's blank line
  size_t bytes_after_head = 0;       // a body sent with the reply
  // The value of the last recognised line of each header (the bootstrapper acts on every line
  // in order, so the last one wins), and how many lines it recognised. Filled even when the
  // reply is rejected, to say what was sent.
  std::optional<std::string_view> content_length, crc64, etag;
  int content_length_lines = 0, crc64_lines = 0, etag_lines = 0;
  // Names of lines that carry one of the three headers in a spelling the bootstrapper does not
  // recognise ("etag:", "Content-Length :"), as sent, colon included.
  std::vector<std::string_view> content_length_misspelt, crc64_misspelt, etag_misspelt;
};

HeadFacts head_facts(std::string_view reply);

// The GET reply's head, from its lines as read (line ends included).
struct GetFacts {
  Rejection rejection = Rejection::None;  // by the bootstrapper's head parser
  std::string_view status_line;           // trimmed
  int status_code = 0;                    // 0 when the status line has none
  // Header values by case-insensitive name (what the server does, whatever the spelling).
  std::optional<std::string_view> transfer_encoding, content_encoding, content_range, location,
      content_length;
};

GetFacts get_facts(std::span<const std::string> head_lines);

// The three-digit code of an "HTTP/x.y NNN ..." status line, or 0.
int status_code(std::string_view status_line);

// "chunked" or a compression named in Transfer-Encoding / Content-Encoding: the body on the wire
// is not the file's bytes. "identity" is the file itself.
bool is_transformed_body(std::optional<std::string_view> coding);

// Text as a reader can see it: bytes that are not printable ASCII as \xNN, cut after `max` bytes.
std::string printable(std::string_view text, size_t max = 80);

}  // namespace quorvel::check
