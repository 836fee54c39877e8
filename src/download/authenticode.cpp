#include "download/authenticode.h"

#include "download/timestamp_token.h"

namespace quorvel {

namespace {

struct SignatureAlgorithm {
  HashAlgorithm hash;
  bool rsa;
  std::vector<uint8_t> oid;  // of the hash and key algorithm together
};

// X.509's names for each pair; a SignerInfo gives either these or the key's algorithm alone.
const SignatureAlgorithm SIGNATURE_ALGORITHMS[] = {
    {HashAlgorithm::Sha1, true, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05}},
    {HashAlgorithm::Sha256, true, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}},
    {HashAlgorithm::Sha384, true, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0C}},
    {HashAlgorithm::Sha512, true, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0D}},
    {HashAlgorithm::Sha1, false, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x01}},
    {HashAlgorithm::Sha256, false, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}},
    {HashAlgorithm::Sha384, false, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03}},
    {HashAlgorithm::Sha512, false, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x04}},
};
constexpr uint8_t RSA_ENCRYPTION[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr uint8_t EC_PUBLIC_KEY[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

bool hash_is(const SignatureCrypto& crypto, HashAlgorithm hash, Bytes data, Bytes expected) {
  auto digest = crypto.hash(hash, data);
  return digest && der::equal(*digest, expected);
}

// The signer's signature over its authenticated attributes, and those attributes naming
// `content_type` and the hash of the content.
bool signer_holds(const SignedData& data, Bytes certificate, Bytes content_type,
                  const SignatureCrypto& crypto) {
  const SignerInfo& signer = data.signer;
  return der::equal(data.content_type, content_type) &&
         der::equal(signer.content_type, content_type) &&
         hash_is(crypto, signer.digest, data.content, signer.message_digest) && [&] {
           auto blob = signed_blob(signer);
           return blob && crypto.verify(certificate, *blob);
         }();
}

bool usable_for(Bytes certificate, Bytes usage) {
  auto facts = parse_certificate(certificate);
  return facts && facts->has_usage(usage);  // no extension at all is no usage
}

// The time a timestamp on `signer` vouches for, when every link of it holds and its authority
// chains to a trusted root for time stamping at that time.
std::optional<int64_t> countersigned_time(const SignerInfo& signer, const SignatureCrypto& crypto) {
  if (signer.timestamp_token.empty()) return std::nullopt;
  auto token = parse_signed_data(signer.timestamp_token);
  if (!token) return std::nullopt;
  auto info = parse_timestamp_info(token->content);
  auto authority =
      info ? find_certificate(token->certificates, token->signer.issuer, token->signer.serial)
           : std::nullopt;
  if (!authority || !hash_is(crypto, info->hash, signer.signature, info->hashed) ||
      !usable_for(*authority, oid::TIME_STAMPING) ||
      !signer_holds(*token, *authority, oid::TST_INFO, crypto) ||
      crypto.chain(*authority, token->certificates, KeyUsage::TimeStamping, info->time).verdict !=
          ChainVerdict::Trusted)
    return std::nullopt;
  return info->time;
}

}  // namespace

std::optional<std::vector<uint8_t>> signed_blob(const SignerInfo& signer) {
  const Bytes given = signer.signature_algorithm;
  for (const SignatureAlgorithm& a : SIGNATURE_ALGORITHMS) {
    if (a.hash != signer.digest) continue;
    if (!der::equal(given, a.oid) &&
        !der::equal(given, a.rsa ? Bytes(RSA_ENCRYPTION) : Bytes(EC_PUBLIC_KEY)))
      continue;
    std::vector<uint8_t> identifier = der::wrap(der::OID, a.oid);
    if (a.rsa) identifier.insert(identifier.end(), {der::NULL_VALUE, 0x00});
    std::vector<uint8_t> bits = {0x00};  // no unused bits
    bits.insert(bits.end(), signer.signature.begin(), signer.signature.end());
    std::vector<uint8_t> body = signer.signed_attributes;
    for (const auto& part :
         {der::wrap(der::SEQUENCE, identifier), der::wrap(der::BIT_STRING, bits)})
      body.insert(body.end(), part.begin(), part.end());
    return der::wrap(der::SEQUENCE, body);
  }
  return std::nullopt;
}

Result<SignerFacts> authenticode_facts(std::vector<uint8_t> file, const PeSignature& where,
                                       const SignatureCrypto& crypto) {
  // The signature is read from a copy: the file itself becomes the hashed image.
  const std::vector<uint8_t> pkcs7(where.signature.begin(), where.signature.end());
  auto data = parse_signed_data(pkcs7);
  if (!data) return Error::kind(ErrorKind::InvalidData, "not an Authenticode SignedData");
  auto certificate = find_certificate(data->certificates, data->signer.issuer, data->signer.serial);
  if (!certificate)
    return Error::kind(ErrorKind::InvalidData, "the signer's certificate is missing");

  SignerFacts facts;
  facts.subject = crypto.subject_name(*certificate);
  auto indirect = parse_indirect_data(data->content);
  facts.digests_match = indirect &&
                        hash_is(crypto, indirect->hash, authenticode_image(std::move(file), where),
                                indirect->digest) &&
                        signer_holds(*data, *certificate, oid::SPC_INDIRECT_DATA, crypto);
  if (!facts.digests_match) return facts;

  const std::optional<int64_t> signed_at = countersigned_time(data->signer, crypto);
  facts.timestamped = signed_at.has_value();
  if (!usable_for(*certificate, oid::CODE_SIGNING)) return facts;  // untrusted
  BuiltChain built =
      crypto.chain(*certificate, data->certificates, KeyUsage::CodeSigning, signed_at);
  facts.chain = built.verdict;
  facts.issuer = std::move(built.issuer);
  facts.ca_sha256 = std::move(built.ca_sha256);
  // At the countersigned time the certificate was valid or it was not; expiry since is no fault.
  if (facts.timestamped && facts.chain == ChainVerdict::Expired)
    facts.chain = ChainVerdict::Untrusted;
  return facts;
}

}  // namespace quorvel
