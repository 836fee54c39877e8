#include "download/der.h"

#include <algorithm>

namespace quorvel::der {

std::optional<Element> take_any(Bytes& rest) {
  if (rest.size() < 2 || (rest[0] & 0x1F) == 0x1F) return std::nullopt;  // no high tag numbers
  size_t length = rest[1], header = 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || rest.size() < 2 + count) return std::nullopt;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | rest[2 + i];
    header += count;
  }
  if (rest.size() - header < length) return std::nullopt;
  Element e{rest[0], rest.subspan(header, length), rest.first(header + length)};
  rest = rest.subspan(header + length);
  return e;
}

std::optional<Element> take(Bytes& rest, uint8_t tag) {
  if (rest.empty() || rest[0] != tag) return std::nullopt;
  return take_any(rest);
}

std::optional<Bytes> only(Bytes bytes, uint8_t tag) {
  auto e = take(bytes, tag);
  if (!e || !bytes.empty()) return std::nullopt;
  return e->value;
}

bool equal(Bytes a, Bytes b) {
  return std::ranges::equal(a, b);
}

std::vector<uint8_t> wrap(uint8_t tag, Bytes contents) {
  std::vector<uint8_t> out = {tag};
  const size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else {
    int count = 0;
    for (size_t v = n; v; v >>= 8) ++count;
    out.push_back(static_cast<uint8_t>(0x80 | count));
    for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

}  // namespace quorvel::der
