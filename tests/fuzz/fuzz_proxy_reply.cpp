// A proxy's reply head judged twice by one dialog (the second time at the logon's challenge step,
// with a logon that echoes the challenge), and the same bytes read as proxy and bypass lists.
#include <cstdlib>
#include <string_view>

#include "net/proxy_dialog.h"

namespace {

class EchoLogon final : public quorvel::ProxyLogon {
 public:
  quorvel::Result<std::vector<uint8_t>> next_token(std::span<const uint8_t> challenge,
                                                   bool& last) override {
    last = !challenge.empty();
    return std::vector<uint8_t>(challenge.begin(), challenge.end());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ConnectDialog dialog({"proxy.test", 3128}, "dl.test", 443, [](ProxyAuthScheme, auto&) {
    return Result<std::unique_ptr<ProxyLogon>>(std::make_unique<EchoLogon>());
  });
  for (int round = 0; round < 2; ++round) {
    auto next = dialog.on_reply(text);
    if (!next || next->step == ConnectDialog::Next::Step::Tunnel) break;
    // Whatever the proxy sent, the next request is one head that ends where it says.
    if (next->request.find("\r\n\r\n") != next->request.size() - 4) std::abort();
  }
  for (const ProxyWay& way : parse_proxy_list(text)) {
    if (way && (way->host.empty() || way->port == 0)) std::abort();
  }
  (void)proxy_bypassed(text, "dl.test", 443);
  const std::vector<uint8_t> bytes(data, data + size);
  if (base64_decode(base64_encode(bytes)) != bytes) std::abort();
  return 0;
}
