#include "net/windows_logon.h"

#include "net/sspi_handles.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

// What InitializeSecurityContextW asks of the logon's context: a connection-oriented exchange whose
// tokens SSPI allocates.
constexpr ULONG LOGON_REQUIREMENTS = ISC_REQ_CONNECTION | ISC_REQ_ALLOCATE_MEMORY;

class WindowsLogon final : public ProxyLogon {
 public:
  explicit WindowsLogon(std::wstring target) : target_(std::move(target)) {}

  Result<void> acquire(const wchar_t* package) {
    TimeStamp expiry;
    // No identity: the credentials of the user this program runs as.
    SECURITY_STATUS status = sspi().AcquireCredentialsHandleW(
        nullptr, const_cast<wchar_t*>(package), SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
        nullptr, credentials_.put(), &expiry);
    if (status != SEC_E_OK) {
      credentials_.forget();
      return Error::os(status);
    }
    return success();
  }

  Result<std::vector<uint8_t>> next_token(std::span<const uint8_t> challenge, bool& last) override {
    SecBuffer in_buffer{static_cast<ULONG>(challenge.size()), SECBUFFER_TOKEN,
                        const_cast<uint8_t*>(challenge.data())};
    SecBufferDesc in{SECBUFFER_VERSION, 1, &in_buffer};
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = sspi().InitializeSecurityContextW(
        credentials_.get(), context_.get(), target_.data(), LOGON_REQUIREMENTS, 0,
        SECURITY_NATIVE_DREP, context_.valid() ? &in : nullptr, 0, context_.out(), &out,
        &attributes, &expiry);
    ContextBuffer token(out_buffer.pvBuffer);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return Error::os(status);
    context_.adopt();
    last = status == SEC_E_OK;
    const auto* bytes = static_cast<const uint8_t*>(out_buffer.pvBuffer);
    if (bytes == nullptr || out_buffer.cbBuffer == 0) return Error::os(SEC_E_INTERNAL_ERROR);
    return std::vector<uint8_t>(bytes, bytes + out_buffer.cbBuffer);
  }

 private:
  std::wstring target_;
  CredentialsHandle credentials_;
  SecurityContext context_;
};

}  // namespace

ProxyLogonStarter windows_logon() {
  return [](ProxyAuthScheme scheme,
            const ProxyEndpoint& proxy) -> Result<std::unique_ptr<ProxyLogon>> {
    auto table = load_security_functions();
    if (!table) return table.take_error();
    auto target = utf8_to_utf16("HTTP/" + proxy.host);
    if (!target) return Error::kind(ErrorKind::InvalidInput, "proxy name is not valid UTF-8");
    auto logon = std::make_unique<WindowsLogon>(std::move(*target));
    auto acquired = logon->acquire(scheme == ProxyAuthScheme::Negotiate ? L"Negotiate" : L"NTLM");
    if (!acquired) return acquired.take_error();
    return std::unique_ptr<ProxyLogon>(std::move(logon));
  };
}

}  // namespace quorvel
