// A downloaded launcher as its signature check reads it before anything vouches for it: the PE
// layout, the PKCS#7 signature (also fed bare, so the fuzzer reaches it without a PE around it),
// its certificates and the timestamp token inside.
#include <cstdlib>

#include "download/authenticode.h"
#include "download/pe_signature.h"
#include "download/signed_data.h"
#include "download/timestamp_token.h"

namespace {

void read_signature(quorvel::Bytes der) {
  const auto data = quorvel::parse_signed_data(der);
  if (!data) return;
  (void)quorvel::parse_indirect_data(data->content);
  (void)quorvel::parse_timestamp_info(data->content);
  (void)quorvel::signed_blob(data->signer);
  for (quorvel::Bytes certificate : data->certificates) {
    const auto facts = quorvel::parse_certificate(certificate);
    if (facts && (facts->issuer.empty() || facts->issuer.data() < certificate.data())) std::abort();
  }
  if (!data->signer.timestamp_token.empty()) read_signature(data->signer.timestamp_token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const quorvel::Bytes file(data, size);
  if (auto where = quorvel::find_pe_signature(file)) {
    if (where->table_at > size || where->signature.data() < data + where->table_at) std::abort();
    read_signature(where->signature);
    const auto image = quorvel::authenticode_image({data, data + size}, *where);
    if (image.size() != where->table_at - 12) std::abort();
  }
  read_signature(file);
  return 0;
}
