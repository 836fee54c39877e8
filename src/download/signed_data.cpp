#include "download/signed_data.h"

#include <algorithm>
#include <array>

namespace quorvel {

namespace {

// An AlgorithmIdentifier's OID; its parameters are not looked at.
std::optional<Bytes> algorithm_oid(Bytes& rest) {
  auto algorithm = der::take(rest, der::SEQUENCE);
  if (!algorithm) return std::nullopt;
  Bytes fields = algorithm->value;
  auto oid = der::take(fields, der::OID);
  if (!oid) return std::nullopt;
  return oid->value;
}

// The one value of the attribute of `type` among `attributes` (a SET's contents): no value when
// it is missing, repeated or holds other than one value.
struct Attribute {
  bool found = false;
  std::optional<der::Element> value;
};
Attribute find_attribute(Bytes attributes, Bytes type) {
  Attribute result;
  while (!attributes.empty()) {
    auto attribute = der::take(attributes, der::SEQUENCE);
    if (!attribute) return {true, std::nullopt};
    Bytes fields = attribute->value;
    auto oid = der::take(fields, der::OID);
    auto values = oid ? der::only(fields, der::SET) : std::nullopt;
    if (!values) return {true, std::nullopt};
    if (!der::equal(oid->value, type)) continue;
    if (result.found) return {true, std::nullopt};
    Bytes rest = *values;
    auto value = der::take_any(rest);
    result = {true, value && rest.empty() ? value : std::nullopt};
  }
  return result;
}

std::optional<SignerInfo> parse_signer(Bytes der_signer) {
  auto outer = der::only(der_signer, der::SEQUENCE);
  if (!outer) return std::nullopt;
  Bytes rest = *outer;
  auto version = der::take(rest, der::INTEGER);
  auto sid = version ? der::take(rest, der::SEQUENCE) : std::nullopt;
  if (!sid) return std::nullopt;
  Bytes sid_fields = sid->value;
  auto issuer = der::take(sid_fields, der::SEQUENCE);
  auto serial = issuer ? der::take(sid_fields, der::INTEGER) : std::nullopt;
  if (!serial || !sid_fields.empty()) return std::nullopt;
  auto digest_oid = algorithm_oid(rest);
  auto digest = digest_oid ? hash_algorithm(*digest_oid) : std::nullopt;
  auto attributes = digest ? der::take(rest, der::context(0)) : std::nullopt;
  auto signature_oid = attributes ? algorithm_oid(rest) : std::nullopt;
  auto signature = signature_oid ? der::take(rest, der::OCTET_STRING) : std::nullopt;
  if (!signature) return std::nullopt;
  auto unsigned_attributes = der::take(rest, der::context(1));
  if (!rest.empty()) return std::nullopt;

  SignerInfo signer;
  signer.issuer = issuer->whole;
  signer.serial = serial->value;
  signer.digest = *digest;
  // Signed as a SET: the same bytes under the universal tag.
  signer.signed_attributes.assign(attributes->whole.begin(), attributes->whole.end());
  signer.signed_attributes[0] = der::SET;
  const Attribute type = find_attribute(attributes->value, oid::CONTENT_TYPE);
  const Attribute digest_value = find_attribute(attributes->value, oid::MESSAGE_DIGEST);
  if (!type.value || type.value->tag != der::OID || !digest_value.value ||
      digest_value.value->tag != der::OCTET_STRING)
    return std::nullopt;
  signer.content_type = type.value->value;
  signer.message_digest = digest_value.value->value;
  signer.signature_algorithm = *signature_oid;
  signer.signature = signature->value;
  if (unsigned_attributes) {
    const Attribute token = find_attribute(unsigned_attributes->value, oid::RFC3161_TIMESTAMP);
    if (token.value && token.value->tag == der::SEQUENCE)
      signer.timestamp_token = token.value->whole;
  }
  return signer;
}

}  // namespace

std::optional<HashAlgorithm> hash_algorithm(Bytes oid) {
  static constexpr std::array<uint8_t, 5> SHA1 = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
  static constexpr std::array<uint8_t, 8> NIST = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
  if (std::ranges::equal(oid, SHA1)) return HashAlgorithm::Sha1;
  if (oid.size() != 9 || !std::ranges::equal(oid.first(8), NIST)) return std::nullopt;
  switch (oid[8]) {
    case 1:
      return HashAlgorithm::Sha256;
    case 2:
      return HashAlgorithm::Sha384;
    case 3:
      return HashAlgorithm::Sha512;
    default:
      return std::nullopt;
  }
}

size_t digest_size(HashAlgorithm hash) {
  constexpr size_t SIZES[] = {20, 32, 48, 64};
  return SIZES[static_cast<size_t>(hash)];
}

std::optional<SignedData> parse_signed_data(Bytes content_info) {
  auto info = der::only(content_info, der::SEQUENCE);
  if (!info) return std::nullopt;
  Bytes rest = *info;
  auto type = der::take(rest, der::OID);
  auto explicit_data = type ? der::only(rest, der::context(0)) : std::nullopt;
  if (!explicit_data || !der::equal(type->value, oid::SIGNED_DATA)) return std::nullopt;
  auto signed_data = der::only(*explicit_data, der::SEQUENCE);
  if (!signed_data) return std::nullopt;
  rest = *signed_data;
  auto version = der::take(rest, der::INTEGER);
  auto digest_algorithms = version ? der::take(rest, der::SET) : std::nullopt;
  auto encapsulated = digest_algorithms ? der::take(rest, der::SEQUENCE) : std::nullopt;
  if (!encapsulated) return std::nullopt;
  Bytes encapsulated_fields = encapsulated->value;
  auto content_type = der::take(encapsulated_fields, der::OID);
  auto explicit_content =
      content_type ? der::only(encapsulated_fields, der::context(0)) : std::nullopt;
  Bytes content_rest = explicit_content.value_or(Bytes());
  auto content = der::take_any(content_rest);
  if (!content || !content_rest.empty() ||
      (content->tag != der::OCTET_STRING && content->tag != der::SEQUENCE))
    return std::nullopt;

  SignedData data;
  data.content_type = content_type->value;
  data.content = content->value;
  if (auto certificates = der::take(rest, der::context(0))) {
    Bytes list = certificates->value;
    while (!list.empty()) {
      auto certificate = der::take(list, der::SEQUENCE);
      if (!certificate) return std::nullopt;
      data.certificates.push_back(certificate->whole);
    }
  }
  (void)der::take(rest, der::context(1));  // revocation lists: not used
  auto signers = der::only(rest, der::SET);
  if (!signers) return std::nullopt;
  Bytes signer_list = *signers;
  auto first = der::take(signer_list, der::SEQUENCE);
  if (!first || !signer_list.empty()) return std::nullopt;  // one signer, as Authenticode has
  auto signer = parse_signer(first->whole);
  if (!signer) return std::nullopt;
  data.signer = std::move(*signer);
  return data;
}

std::optional<IndirectData> parse_indirect_data(Bytes content) {
  auto data = der::take(content, der::SEQUENCE);
  auto digest_info = data ? der::only(content, der::SEQUENCE) : std::nullopt;
  if (!digest_info) return std::nullopt;
  Bytes data_fields = data->value;
  auto type = der::take(data_fields, der::OID);
  if (!type || !der::equal(type->value, oid::SPC_PE_IMAGE_DATA)) return std::nullopt;
  Bytes fields = *digest_info;
  auto algorithm = algorithm_oid(fields);
  auto hash = algorithm ? hash_algorithm(*algorithm) : std::nullopt;
  auto digest = hash ? der::only(fields, der::OCTET_STRING) : std::nullopt;
  if (!digest || digest->size() != digest_size(*hash)) return std::nullopt;
  return IndirectData{*hash, *digest};
}

bool CertificateFacts::has_usage(Bytes usage) const {
  return usages && std::ranges::any_of(*usages, [&](Bytes u) { return der::equal(u, usage); });
}

std::optional<CertificateFacts> parse_certificate(Bytes certificate) {
  auto outer = der::only(certificate, der::SEQUENCE);
  Bytes rest = outer.value_or(Bytes());
  auto tbs = der::take(rest, der::SEQUENCE);
  if (!tbs) return std::nullopt;
  Bytes fields = tbs->value;
  (void)der::take(fields, der::context(0));  // version
  auto serial = der::take(fields, der::INTEGER);
  auto algorithm = serial ? der::take(fields, der::SEQUENCE) : std::nullopt;
  auto issuer = algorithm ? der::take(fields, der::SEQUENCE) : std::nullopt;
  auto validity = issuer ? der::take(fields, der::SEQUENCE) : std::nullopt;
  auto subject = validity ? der::take(fields, der::SEQUENCE) : std::nullopt;
  auto key = subject ? der::take(fields, der::SEQUENCE) : std::nullopt;
  if (!key) return std::nullopt;
  (void)der::take(fields, 0x81);  // issuerUniqueID
  (void)der::take(fields, 0x82);  // subjectUniqueID
  CertificateFacts facts{issuer->whole, serial->value, std::nullopt};
  auto explicit_extensions = der::take(fields, der::context(3));
  if (!fields.empty()) return std::nullopt;
  if (!explicit_extensions) return facts;
  auto extensions = der::only(explicit_extensions->value, der::SEQUENCE);
  if (!extensions) return std::nullopt;
  Bytes list = *extensions;
  while (!list.empty()) {
    auto extension = der::take(list, der::SEQUENCE);
    if (!extension) return std::nullopt;
    Bytes parts = extension->value;
    auto id = der::take(parts, der::OID);
    if (id) (void)der::take(parts, der::BOOLEAN);
    auto value = id ? der::only(parts, der::OCTET_STRING) : std::nullopt;
    if (!value) return std::nullopt;
    if (!der::equal(id->value, oid::EXTENDED_KEY_USAGE)) continue;
    auto purposes = der::only(*value, der::SEQUENCE);
    if (facts.usages || !purposes) return std::nullopt;  // repeated or malformed
    facts.usages.emplace();
    Bytes purpose_list = *purposes;
    while (!purpose_list.empty()) {
      auto purpose = der::take(purpose_list, der::OID);
      if (!purpose) return std::nullopt;
      facts.usages->push_back(purpose->value);
    }
  }
  return facts;
}

std::optional<Bytes> find_certificate(const std::vector<Bytes>& certificates, Bytes issuer,
                                      Bytes serial) {
  for (Bytes certificate : certificates) {
    auto facts = parse_certificate(certificate);
    if (facts && der::equal(facts->issuer, issuer) && der::equal(facts->serial, serial))
      return certificate;
  }
  return std::nullopt;
}

}  // namespace quorvel
