#include "download/retry_after.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "download/civil_date.h"

namespace quorvel {

namespace {

constexpr std::array<std::string_view, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> DAYS = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 7> LONG_DAYS = {
    "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

// A longer Retry-After than this is read as this: the caller caps far below it anyway.
constexpr int64_t MAX_SECONDS = int64_t{1} << 40;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Reads exactly `width` digits at the front of `text`.
std::optional<int> digits(std::string_view& text, size_t width) {
  if (text.size() < width) return std::nullopt;
  int value = 0;
  for (size_t i = 0; i < width; ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(width);
  return value;
}

bool literal(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

template <size_t N>
bool one_of(std::string_view& text, const std::array<std::string_view, N>& names,
            int* index = nullptr) {
  for (size_t i = 0; i < N; ++i) {
    if (literal(text, names[i])) {
      if (index) *index = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

struct Clock {
  int hour, minute, second;
};

// "08:49:37"
std::optional<Clock> time_of_day(std::string_view& text) {
  auto h = digits(text, 2);
  if (!h || !literal(text, ":")) return std::nullopt;
  auto m = digits(text, 2);
  if (!m || !literal(text, ":")) return std::nullopt;
  auto s = digits(text, 2);
  if (!s || *h > 23 || *m > 59 || *s > 60) return std::nullopt;  // 60: a leap second
  return Clock{*h, *m, *s};
}

bool is_leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

std::optional<int64_t> to_seconds(int year, int month, int day, const Clock& clock) {
  static constexpr int LENGTHS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int length = LENGTHS[month] + (month == 1 && is_leap(year));
  if (day < 1 || day > length) return std::nullopt;
  return days_from_civil(year, month + 1, day) * 86400 + clock.hour * 3600 + clock.minute * 60 +
         clock.second;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::optional<int64_t> imf_fixdate(std::string_view text) {
  int month = 0;
  if (!one_of(text, DAYS) || !literal(text, ", ")) return std::nullopt;
  auto day = digits(text, 2);
  if (!day || !literal(text, " ") || !one_of(text, MONTHS, &month) || !literal(text, " "))
    return std::nullopt;
  auto year = digits(text, 4);
  if (!year || !literal(text, " ")) return std::nullopt;
  auto clock = time_of_day(text);
  if (!clock || text != " GMT") return std::nullopt;
  return to_seconds(*year, month, *day, *clock);
}

// "Sunday, 06-Nov-94 08:49:37 GMT"
std::optional<int64_t> rfc850_date(std::string_view text, int now_year) {
  int month = 0;
  if (!one_of(text, LONG_DAYS) || !literal(text, ", ")) return std::nullopt;
  auto day = digits(text, 2);
  if (!day || !literal(text, "-") || !one_of(text, MONTHS, &month) || !literal(text, "-"))
    return std::nullopt;
  auto yy = digits(text, 2);
  if (!yy || !literal(text, " ")) return std::nullopt;
  auto clock = time_of_day(text);
  if (!clock || text != " GMT") return std::nullopt;
  int year = now_year - now_year % 100 + *yy;
  if (year > now_year + 50) year -= 100;
  return to_seconds(year, month, *day, *clock);
}

// "Sun Nov  6 08:49:37 1994"
std::optional<int64_t> asctime_date(std::string_view text) {
  int month = 0;
  if (!one_of(text, DAYS) || !literal(text, " ") || !one_of(text, MONTHS, &month) ||
      !literal(text, " "))
    return std::nullopt;
  if (text.starts_with(' ')) text.remove_prefix(1);  // " 6"
  std::optional<int> day;
  if (text.size() >= 2 && is_digit(text[0]) && is_digit(text[1])) {
    day = digits(text, 2);
  } else {
    day = digits(text, 1);
  }
  if (!day || !literal(text, " ")) return std::nullopt;
  auto clock = time_of_day(text);
  if (!clock || !literal(text, " ")) return std::nullopt;
  auto year = digits(text, 4);
  if (!year || !text.empty()) return std::nullopt;
  return to_seconds(*year, month, *day, *clock);
}

int year_of(int64_t unix_seconds) {
  // Close enough to choose a century: 365.2425 days a year.
  return static_cast<int>(1970 + unix_seconds / 31556952);
}

// The value of the first header line named `name` (any case) in `head`, trimmed.
std::optional<std::string_view> header_value(std::string_view head, std::string_view name) {
  size_t start = head.find('\n');  // the status line is no header
  while (start != std::string_view::npos && start + 1 < head.size()) {
    ++start;
    const size_t end = head.find('\n', start);
    const std::string_view line =
        head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && equals_ignoring_case(line.substr(0, colon), name))
      return trim(line.substr(colon + 1));
    start = end;
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> status_code(std::string_view status_line) {
  if (!literal(status_line, "HTTP/1.") || status_line.empty() || !is_digit(status_line[0]))
    return std::nullopt;
  status_line.remove_prefix(1);
  if (!literal(status_line, " ")) return std::nullopt;
  auto code = digits(status_line, 3);
  if (!code || (!status_line.empty() && is_digit(status_line[0]))) return std::nullopt;
  return code;
}

std::optional<int64_t> parse_http_date(std::string_view text, int now_year) {
  if (auto date = imf_fixdate(text)) return date;
  if (auto date = rfc850_date(text, now_year)) return date;
  return asctime_date(text);
}

std::optional<std::chrono::seconds> parse_retry_after(std::string_view value, int64_t now) {
  value = trim(value);
  if (value.empty()) return std::nullopt;
  if (is_digit(value[0])) {
    int64_t seconds = 0;
    for (char c : value) {
      if (!is_digit(c)) return std::nullopt;
      seconds = std::min(MAX_SECONDS, seconds * 10 + (c - '0'));
    }
    return std::chrono::seconds(seconds);
  }
  auto date = parse_http_date(value, year_of(now));
  if (!date) return std::nullopt;
  return std::chrono::seconds(std::clamp<int64_t>(*date - now, 0, MAX_SECONDS));
}

std::optional<RetryAfter> retry_after_of(std::string_view head, int64_t local_now) {
  auto status = status_code(head.substr(0, head.find('\n')));
  if (!status || (*status != STATUS_TOO_MANY_REQUESTS && *status != STATUS_SERVICE_UNAVAILABLE))
    return std::nullopt;
  auto value = header_value(head, "Retry-After");
  if (!value) return std::nullopt;
  int64_t now = local_now;
  if (auto date = header_value(head, "Date")) {
    if (auto server_now = parse_http_date(*date, year_of(local_now))) now = *server_now;
  }
  auto wait = parse_retry_after(*value, now);
  if (!wait) return std::nullopt;
  return RetryAfter{*status, std::string(*value), *wait};
}

}  // namespace quorvel
