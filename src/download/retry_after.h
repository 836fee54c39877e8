// What an overloaded server asks of its clients: the status code of a refused reply and the wait
// its Retry-After header names, as seconds or as an HTTP date. Pure functions over the reply's
// text, so they are tested and fuzzed without a connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Retry-After is honoured on these two statuses only; any other failure keeps the usual pause.
inline constexpr int STATUS_TOO_MANY_REQUESTS = 429;
inline constexpr int STATUS_SERVICE_UNAVAILABLE = 503;

// The three digits after "HTTP/1.x " at the start of a status line, or nothing.
std::optional<int> status_code(std::string_view status_line);

// Seconds since 1970-01-01 00:00:00 UTC of an HTTP date in any of its three forms ("Sun, 06 Nov
// 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"), or nothing.
// A two-digit year is read as the one nearest to `now_year` that is not more than 50 years ahead.
std::optional<int64_t> parse_http_date(std::string_view text, int now_year = 2000);

// The wait a Retry-After value asks for: whole seconds, or its date less `now` (never below 0).
// Nothing for a value that is neither.
std::optional<std::chrono::seconds> parse_retry_after(std::string_view value, int64_t now);

// A refused reply's request to come back later: its status, the Retry-After value as sent (for the
// failure line) and the wait it means.
struct RetryAfter {
  int status = 0;
  std::string value;
  std::chrono::seconds wait{0};

  friend bool operator==(const RetryAfter&, const RetryAfter&) = default;
};

// From a reply's head (status line and header lines, each ended by a line feed): present when the
// status is 429 or 503 and a Retry-After line can be read. A date is measured against the reply's
// own Date header when it has one, so a player's wrong clock does not stretch the wait; else
// against `local_now` (seconds since 1970).
std::optional<RetryAfter> retry_after_of(std::string_view head, int64_t local_now);

}  // namespace quorvel
