#include "download/timestamp_token.h"

namespace quorvel {

namespace {

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t days_since_1601(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 134774;  // 134774 days from 1601-01-01 to 1970-01-01
}

// "YYYYMMDDHHMMSS[.f...]Z" as DER requires it.
std::optional<int64_t> generalized_time(Bytes text) {
  if (text.size() < 15 || text.back() != 'Z') return std::nullopt;
  int64_t fields[6] = {};
  const size_t widths[6] = {4, 2, 2, 2, 2, 2};
  size_t at = 0;
  for (int f = 0; f < 6; ++f) {
    for (size_t i = 0; i < widths[f]; ++i, ++at) {
      if (text[at] < '0' || text[at] > '9') return std::nullopt;
      fields[f] = fields[f] * 10 + (text[at] - '0');
    }
  }
  const auto [year, month, day, hour, minute, second] = fields;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  int64_t ticks = 0, scale = 1'000'000;  // fraction digits, in 100 ns units
  if (text[at] == '.') {
    for (++at; at + 1 < text.size(); ++at) {
      if (text[at] < '0' || text[at] > '9') return std::nullopt;
      ticks += (text[at] - '0') * scale;
      scale /= 10;
    }
  }
  if (at != text.size() - 1) return std::nullopt;
  const int64_t seconds =
      ((days_since_1601(year, month, day) * 24 + hour) * 60 + minute) * 60 + second;
  return seconds * 10'000'000 + ticks;
}

}  // namespace

std::optional<TimestampInfo> parse_timestamp_info(Bytes tst_info) {
  auto outer = der::only(tst_info, der::SEQUENCE);
  if (!outer) return std::nullopt;
  Bytes rest = *outer;
  auto imprint = der::take(rest, der::INTEGER) && der::take(rest, der::OID)
                     ? der::take(rest, der::SEQUENCE)
                     : std::nullopt;
  if (!imprint) return std::nullopt;
  Bytes fields = imprint->value;
  auto algorithm = der::take(fields, der::SEQUENCE);
  auto hashed = der::take(fields, der::OCTET_STRING);
  if (!algorithm || !hashed || !fields.empty()) return std::nullopt;
  Bytes algorithm_fields = algorithm->value;
  auto oid = der::take(algorithm_fields, der::OID);
  auto hash = oid ? hash_algorithm(oid->value) : std::nullopt;
  if (!hash || hashed->value.size() != digest_size(*hash)) return std::nullopt;
  auto serial = der::take(rest, der::INTEGER);
  auto gen_time = serial ? der::take(rest, der::GENERALIZED_TIME) : std::nullopt;
  auto time = gen_time ? generalized_time(gen_time->value) : std::nullopt;
  if (!time) return std::nullopt;
  return TimestampInfo{*hash, {hashed->value.begin(), hashed->value.end()}, *time};
}

}  // namespace quorvel
