// What a proxy and the system's proxy settings hand the program: a CONNECT reply head judged as
// the dialog judges it (with a logon that always has a token), and the same bytes read as a proxy
// list and as a bypass list.
#include <cstdlib>
#include <string_view>

#include "net/proxy_dialog.h"
#include "net/proxy_list.h"
#include "net/proxy_reply.h"

namespace {

class AnyLogon final : public quorvel::ProxyLogon {
 public:
  quorvel::Result<std::vector<uint8_t>> next_token(std::span<const uint8_t> challenge,
                                                   bool& last) override {
    last = !challenge.empty();
    return std::vector<uint8_t>(challenge.begin(), challenge.end());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  quorvel::ConnectDialog dialog(
      {"proxy.test", 3128}, "dl.test", 443,
      [](quorvel::ProxyAuthScheme, const quorvel::ProxyEndpoint&) {
        return quorvel::Result<std::unique_ptr<quorvel::ProxyLogon>>(std::make_unique<AnyLogon>());
      });
  // The same head twice: the second reply reaches the logon's challenge step.
  for (int round = 0; round < 2; ++round) {
    auto next = dialog.on_reply(text);
    if (!next) {
      (void)quorvel::error_text(next.error());
      break;
    }
    if (next->step == quorvel::ConnectDialog::Next::Step::Tunnel) break;
    // Whatever the proxy sent, the next request is one head that ends where it says.
    if (next->request.find("\r\n\r\n") != next->request.size() - 4) std::abort();
  }
  for (const quorvel::ProxyWay& way : quorvel::parse_proxy_list(text)) {
    if (way && (way->host.empty() || way->port == 0)) std::abort();
  }
  (void)quorvel::proxy_bypassed(text, "dl.test", 443);
  // Decoding what was encoded gives the bytes back.
  const std::vector<uint8_t> bytes(data, data + size);
  if (quorvel::base64_decode(quorvel::base64_encode(bytes)) != bytes) std::abort();
  return 0;
}
