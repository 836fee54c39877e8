// A timestamp token's content as a signed launcher carries it: read before anything vouches for it.
#include <cstdlib>

#include "download/timestamp_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto info = quorvel::parse_timestamp_info({data, size});
  constexpr size_t DIGEST_SIZES[] = {20, 32, 48, 64};
  if (info && info->hashed.size() != DIGEST_SIZES[static_cast<size_t>(info->hash)]) std::abort();
  return 0;
}
