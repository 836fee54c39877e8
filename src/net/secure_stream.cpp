#include "net/secure_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "net/server_validation.h"
#include "net/sspi_handles.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

constexpr ULONG CONTEXT_REQUIREMENTS = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_USE_SUPPLIED_CREDS |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                       ISC_REQ_INTEGRITY | ISC_REQ_MANUAL_CRED_VALIDATION;
static_assert(CONTEXT_REQUIREMENTS == 0x0009819C);

constexpr size_t RECEIVE_CHUNK = 32 * 1024;
// Queued ciphertext beyond this is sent before more is queued, so a long write never piles up.
constexpr size_t MAX_QUEUED = 256 * 1024;
constexpr uint8_t TLS_ALERT_RECORD = 21;

const SecBuffer* find_buffer(const SecBuffer* buffers, size_t count, ULONG type) {
  for (size_t i = 0; i < count; ++i) {
    if (buffers[i].BufferType == type) return &buffers[i];
  }
  return nullptr;
}

}  // namespace

struct SecureStream::Session {
  explicit Session(TcpConnection connection) : tcp(std::move(connection)) {}

  // Released in reverse order: context, credentials, stores, then the connection.
  TcpConnection tcp;
  TlsClientSettings settings;
  CertStore extra_roots;
  CredentialStructure structure = CredentialStructure::SchannelCred;
  CredentialsHandle credentials;
  SecurityContext context;
  std::wstring host;  // the server name for the host-name check and (with SNI) the target name
  SecPkgContext_StreamSizes sizes{};
  std::vector<uint8_t> incoming;   // received ciphertext not yet decrypted
  std::vector<uint8_t> plaintext;  // decrypted, from plaintext_used on not yet handed out
  size_t plaintext_used = 0;
  std::vector<uint8_t> outgoing;  // ciphertext not yet sent
  State state = State::Handshaking;
  bool validated = false;

  SEC_WCHAR* target() { return settings.use_sni ? const_cast<SEC_WCHAR*>(host.c_str()) : nullptr; }

  void queue(const SecBuffer& token) {
    if (token.pvBuffer && token.cbBuffer) {
      auto* p = static_cast<const uint8_t*>(token.pvBuffer);
      outgoing.insert(outgoing.end(), p, p + token.cbBuffer);
    }
  }

  // Keeps the unconsumed tail that Schannel reported as SECBUFFER_EXTRA; drops the rest.
  void keep_extra(const SecBuffer* extra) {
    if (extra && extra->cbBuffer > 0 && extra->cbBuffer <= incoming.size()) {
      std::memmove(incoming.data(), incoming.data() + incoming.size() - extra->cbBuffer,
                   extra->cbBuffer);
      incoming.resize(extra->cbBuffer);
    } else {
      incoming.clear();
    }
  }

  Task<Result<void>> send_queued() {
    if (outgoing.empty()) co_return success();
    auto sent = co_await tcp.write_all(outgoing);
    outgoing.clear();
    co_return sent;
  }

  // Appends what the socket has to `incoming`; 0 at the end of the stream.
  Task<Result<size_t>> receive() {
    size_t old = incoming.size();
    incoming.resize(old + RECEIVE_CHUNK);
    auto got = co_await tcp.read_some(std::span(incoming).subspan(old));
    incoming.resize(old + (got ? *got : 0));
    co_return got;
  }

  Result<Validation> validate(bool final_step) {
    return verify_server_chain(context.get(), extra_roots.get(), host, settings, final_step);
  }

  // The client handshake: from the start (`initial`) or, on the server's request, again over the
  // established context with `incoming` holding the server's message.
  Task<Result<void>> handshake(bool initial) {
    state = State::Handshaking;
    validated = false;
    ULONG attributes = 0;
    if (initial) {
      SecBufferDesc input{SECBUFFER_VERSION, 0, nullptr};
      SecBuffer token{0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
      SECURITY_STATUS status = sspi().InitializeSecurityContextW(
          credentials.get(), nullptr, target(), CONTEXT_REQUIREMENTS, 0, 0, &input, 0,
          context.out(), &output, &attributes, nullptr);
      ContextBuffer owned(token.pvBuffer);
      if (status != SEC_I_CONTINUE_NEEDED) co_return Error::os(status);
      context.adopt();
      queue(token);
    }
    bool need_input = incoming.empty();
    for (;;) {
      if (auto sent = co_await send_queued(); !sent) co_return sent;
      // A renegotiation is validated once it has completed: until then the context still holds
      // the certificate of the previous handshake.
      if (initial && !validated) {
        auto verdict = validate(false);
        if (!verdict) co_return verdict.take_error();
        validated = *verdict == Validation::Accepted;
      }
      if (need_input) {
        auto got = co_await receive();
        if (!got) co_return got.take_error();
        if (*got == 0) {
          co_return Error::kind(ErrorKind::UnexpectedEof, "unexpected EOF during handshake");
        }
      }
      SecBuffer in[2] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc input{SECBUFFER_VERSION, 2, in};
      SecBuffer out[3] = {{0, SECBUFFER_TOKEN, nullptr},
                          {0, SECBUFFER_ALERT, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc output{SECBUFFER_VERSION, 3, out};
      SECURITY_STATUS status = sspi().InitializeSecurityContextW(
          credentials.get(), context.get(), target(), CONTEXT_REQUIREMENTS, 0, 0, &input, 0,
          nullptr, &output, &attributes, nullptr);
      ContextBuffer owned[3] = {ContextBuffer(out[0].pvBuffer), ContextBuffer(out[1].pvBuffer),
                                ContextBuffer(out[2].pvBuffer)};
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        need_input = true;
        continue;
      }
      if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_OK) co_return Error::os(status);
      if (out[0].BufferType == SECBUFFER_TOKEN) queue(out[0]);
      // Bytes Schannel did not consume belong to the next step, or after the last one to the
      // application data.
      keep_extra(find_buffer(in, 2, SECBUFFER_EXTRA));
      if (status == SEC_E_OK) break;
      need_input = incoming.empty();
    }
    if (auto sent = co_await send_queued(); !sent) co_return sent;
    if (!validated) {
      auto verdict = validate(true);
      if (!verdict) co_return verdict.take_error();
      validated = true;
    }
    SECURITY_STATUS status =
        sspi().QueryContextAttributesW(context.get(), SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) co_return Error::os(status);
    state = State::Streaming;
    co_return success();
  }
};

SecureStream::SecureStream(std::unique_ptr<Session> session) : session_(std::move(session)) {}

SecureStream::~SecureStream() = default;

SecureStream::State SecureStream::state() const {
  return session_->state;
}

CredentialStructure SecureStream::credential_structure() const {
  return session_->structure;
}

size_t SecureStream::max_message_size() const {
  return session_->sizes.cbMaximumMessage;
}

Task<Result<size_t>> SecureStream::read(std::span<uint8_t> buffer) {
  Session& s = *session_;
  for (;;) {
    if (s.plaintext_used < s.plaintext.size()) {
      size_t n = std::min(buffer.size(), s.plaintext.size() - s.plaintext_used);
      std::memcpy(buffer.data(), s.plaintext.data() + s.plaintext_used, n);
      s.plaintext_used += n;
      co_return n;
    }
    if (buffer.empty() || s.state == State::Closed) co_return size_t{0};
    if (s.state != State::Streaming) co_return Error::os(SEC_E_CONTEXT_EXPIRED);
    if (s.incoming.empty()) {
      auto got = co_await s.receive();
      if (!got) co_return got.take_error();
      if (*got == 0) {
        s.state = State::Closed;
        continue;
      }
    }
    uint8_t record_type = s.incoming[0];
    SecBuffer buffers[4] = {
        {static_cast<ULONG>(s.incoming.size()), SECBUFFER_DATA, s.incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = sspi().DecryptMessage(s.context.get(), &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      auto got = co_await s.receive();
      if (!got) co_return got.take_error();
      if (*got == 0) s.state = State::Closed;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
      co_return Error::os(status);
    }
    const SecBuffer* data = find_buffer(buffers, 4, SECBUFFER_DATA);
    size_t data_size = data && data->pvBuffer ? data->cbBuffer : 0;
    if (data_size > 0) {
      auto* p = static_cast<const uint8_t*>(data->pvBuffer);
      s.plaintext.assign(p, p + data_size);
      s.plaintext_used = 0;
    }
    s.keep_extra(find_buffer(buffers, 4, SECBUFFER_EXTRA));
    if (status == SEC_I_CONTEXT_EXPIRED) {
      s.state = State::Closed;
    } else if (status == SEC_E_OK && data_size == 0 && record_type == TLS_ALERT_RECORD) {
      // The peer's close_notify, as some Schannel implementations (Wine's) report it: an alert
      // record that decrypted to nothing. An empty application-data record is no such end.
      s.state = State::Closed;
    } else if (status == SEC_I_RENEGOTIATE) {
      if (auto again = co_await s.handshake(false); !again) co_return again.take_error();
    }
  }
}

Task<Result<size_t>> SecureStream::write(std::span<const uint8_t> bytes) {
  Session& s = *session_;
  if (s.state != State::Streaming) co_return Error::os(SEC_E_CONTEXT_EXPIRED);
  if (bytes.empty()) co_return size_t{0};
  if (s.outgoing.size() >= MAX_QUEUED) {
    if (auto sent = co_await s.send_queued(); !sent) co_return sent.take_error();
  }
  size_t n = std::min<size_t>(bytes.size(), s.sizes.cbMaximumMessage);
  size_t offset = s.outgoing.size();
  s.outgoing.resize(offset + s.sizes.cbHeader + n + s.sizes.cbTrailer);
  uint8_t* record = s.outgoing.data() + offset;
  std::memcpy(record + s.sizes.cbHeader, bytes.data(), n);
  SecBuffer buffers[4] = {
      {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
      {static_cast<ULONG>(n), SECBUFFER_DATA, record + s.sizes.cbHeader},
      {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + s.sizes.cbHeader + n},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = sspi().EncryptMessage(s.context.get(), 0, &message, 0);
  if (status != SEC_E_OK) {
    s.outgoing.resize(offset);
    co_return Error::os(status);
  }
  s.outgoing.resize(offset + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
  co_return n;
}

Task<Result<void>> SecureStream::flush() {
  return session_->send_queued();
}

Task<Result<void>> SecureStream::close() {
  Session& s = *session_;
  if (s.state == State::Closed) co_return success();
  if (s.state == State::Streaming) {
    s.state = State::ShuttingDown;
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof(shutdown), SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
    SECURITY_STATUS status = sspi().ApplyControlToken(s.context.get(), &control_desc);
    if (status != SEC_E_OK) co_return Error::os(status);
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    status = sspi().InitializeSecurityContextW(s.credentials.get(), s.context.get(), s.target(),
                                               CONTEXT_REQUIREMENTS, 0, 0, nullptr, 0, nullptr,
                                               &output, &attributes, nullptr);
    ContextBuffer owned(token.pvBuffer);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) co_return Error::os(status);
    s.queue(token);
  }
  if (auto sent = co_await s.send_queued(); !sent) co_return sent;
  s.state = State::Closed;
  co_return success();
}

Task<Result<std::unique_ptr<SecureStream>>> tls_connect(TlsClientSettings settings,
                                                        std::string host,
                                                        TcpConnection connection) {
  CredentialStructure structure = credential_structure_for(running_windows_version());
  auto session = std::make_unique<SecureStream::Session>(std::move(connection));
  session->settings = std::move(settings);
  session->structure = structure;

  auto functions = load_security_functions();
  if (!functions) co_return functions.take_error();
  session->extra_roots =
      CertStore(crypt32().CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!session->extra_roots.get()) co_return last_os_error();
  for (const auto& der : session->settings.extra_roots) {
    CertContext root(crypt32().CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                            static_cast<DWORD>(der.size())));
    if (!root.get() ||
        !crypt32().CertAddCertificateContextToStore(session->extra_roots.get(), root.get(),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      co_return last_os_error();
    }
  }

  SchannelCredentials credentials(protocol_mask(session->settings), structure);
  SECURITY_STATUS status = sspi().AcquireCredentialsHandleW(
      nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
      credentials.auth_data(), nullptr, nullptr, session->credentials.put(), nullptr);
  if (status != SEC_E_OK) {
    session->credentials.forget();
    co_return Error::os(status);
  }

  session->host = utf8_to_utf16(host).value_or(std::wstring());
  if (auto done = co_await session->handshake(true); !done) co_return done.take_error();
  co_return std::make_unique<SecureStream>(std::move(session));
}

}  // namespace quorvel
