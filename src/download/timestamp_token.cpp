#include "download/timestamp_token.h"

#include <algorithm>
#include <array>

#include "download/civil_date.h"

namespace quorvel {

namespace {

constexpr uint8_t SEQUENCE = 0x30, INTEGER = 0x02, OID = 0x06, OCTET_STRING = 0x04,
                  GENERALIZED_TIME = 0x18;

// One DER element read from the front of `rest`.
struct Element {
  uint8_t tag = 0;
  std::span<const uint8_t> value;
};

std::optional<Element> take(std::span<const uint8_t>& rest, uint8_t tag) {
  if (rest.size() < 2 || rest[0] != tag) return std::nullopt;
  size_t length = rest[1], header = 2;
  if (length & 0x80) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || rest.size() < 2 + bytes) return std::nullopt;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = (length << 8) | rest[2 + i];
    header += bytes;
  }
  if (rest.size() - header < length) return std::nullopt;
  Element e{tag, rest.subspan(header, length)};
  rest = rest.subspan(header + length);
  return e;
}

std::optional<ImprintHash> hash_of(std::span<const uint8_t> oid) {
  static constexpr std::array<uint8_t, 5> SHA1 = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
  static constexpr std::array<uint8_t, 8> NIST = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
  if (std::ranges::equal(oid, SHA1)) return ImprintHash::Sha1;
  if (oid.size() != 9 || !std::ranges::equal(oid.first(8), NIST)) return std::nullopt;
  switch (oid[8]) {
    case 1:
      return ImprintHash::Sha256;
    case 2:
      return ImprintHash::Sha384;
    case 3:
      return ImprintHash::Sha512;
    default:
      return std::nullopt;
  }
}

constexpr size_t DIGEST_SIZES[] = {20, 32, 48, 64};

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t days_since_1601(int64_t y, int64_t m, int64_t d) {
  return days_from_civil(y, m, d) + 134774;  // 134774 days from 1601-01-01 to 1970-01-01
}

// "YYYYMMDDHHMMSS[.f...]Z" as DER requires it.
std::optional<int64_t> generalized_time(std::span<const uint8_t> text) {
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

std::optional<TimestampInfo> parse_timestamp_info(std::span<const uint8_t> der) {
  // Some systems hand back the content still in the OCTET STRING that carries it in the token.
  if (std::span<const uint8_t> wrapped = der; !der.empty() && der[0] == OCTET_STRING) {
    auto inner = take(wrapped, OCTET_STRING);
    if (!inner || !wrapped.empty()) return std::nullopt;
    der = inner->value;
  }
  auto outer = take(der, SEQUENCE);
  if (!outer || !der.empty()) return std::nullopt;
  std::span<const uint8_t> rest = outer->value;
  auto imprint = take(rest, INTEGER) && take(rest, OID) ? take(rest, SEQUENCE) : std::nullopt;
  if (!imprint) return std::nullopt;
  std::span<const uint8_t> fields = imprint->value;
  auto algorithm = take(fields, SEQUENCE);
  auto hashed = take(fields, OCTET_STRING);
  if (!algorithm || !hashed || !fields.empty()) return std::nullopt;
  std::span<const uint8_t> algorithm_fields = algorithm->value;
  auto oid = take(algorithm_fields, OID);
  auto hash = oid ? hash_of(oid->value) : std::nullopt;
  if (!hash || hashed->value.size() != DIGEST_SIZES[static_cast<size_t>(*hash)])
    return std::nullopt;
  auto serial = take(rest, INTEGER);
  auto gen_time = serial ? take(rest, GENERALIZED_TIME) : std::nullopt;
  auto time = gen_time ? generalized_time(gen_time->value) : std::nullopt;
  if (!time) return std::nullopt;
  return TimestampInfo{*hash, {hashed->value.begin(), hashed->value.end()}, *time};
}

}  // namespace quorvel
