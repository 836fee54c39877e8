// A reader for the DER that signatures and certificates are made of: definite lengths only, each
// element checked to lie inside what holds it. Nothing here allocates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {

using Bytes = std::span<const uint8_t>;

namespace der {

constexpr uint8_t BOOLEAN = 0x01, INTEGER = 0x02, BIT_STRING = 0x03, OCTET_STRING = 0x04,
                  NULL_VALUE = 0x05, OID = 0x06, GENERALIZED_TIME = 0x18, SEQUENCE = 0x30,
                  SET = 0x31;
// Context-specific tags: [n] IMPLICIT of a constructed type, and [n] EXPLICIT.
constexpr uint8_t context(uint8_t n) {
  return static_cast<uint8_t>(0xA0 | n);
}

struct Element {
  uint8_t tag = 0;
  Bytes value;  // the contents
  Bytes whole;  // tag, length and contents
};

// The element at the front of `rest`, which then starts after it; no value (and `rest` unchanged)
// when the bytes are no element or its tag differs from `tag`.
std::optional<Element> take(Bytes& rest, uint8_t tag);
std::optional<Element> take_any(Bytes& rest);

// The contents of the one element that is all of `bytes`.
std::optional<Bytes> only(Bytes bytes, uint8_t tag);

bool equal(Bytes a, Bytes b);

// DER written back: an element of `tag` around `contents`.
std::vector<uint8_t> wrap(uint8_t tag, Bytes contents);

}  // namespace der

// Object identifiers, as their encoded contents.
namespace oid {
constexpr uint8_t SIGNED_DATA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t CONTENT_TYPE[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
constexpr uint8_t MESSAGE_DIGEST[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
constexpr uint8_t TST_INFO[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
constexpr uint8_t SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                         0x82, 0x37, 0x02, 0x01, 0x04};
constexpr uint8_t SPC_PE_IMAGE_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                         0x82, 0x37, 0x02, 0x01, 0x0F};
constexpr uint8_t RFC3161_TIMESTAMP[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                         0x82, 0x37, 0x03, 0x03, 0x01};
constexpr uint8_t EXTENDED_KEY_USAGE[] = {0x55, 0x1D, 0x25};
constexpr uint8_t COMMON_NAME[] = {0x55, 0x04, 0x03};
constexpr uint8_t CODE_SIGNING[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
constexpr uint8_t TIME_STAMPING[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08};
}  // namespace oid

}  // namespace quorvel
