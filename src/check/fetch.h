// The check's side that talks to the server: handshakes as each Windows client makes them, and the
// bootstrapper's own requests read with its own parsers. Each function returns what it saw, as
// plain facts for the judging functions; nothing here decides what the facts mean.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/body_sink.h"
#include "check/deadline.h"
#include "check/tls_client.h"
#include "download/download_url.h"
#include "runtime/error.h"

namespace quorvel::check {

struct Handshake {
  std::optional<Error> error;
  TlsFacts facts;
  bool ok() const { return !error; }
};

struct ClientHandshakes {
  const WindowsClient* client = nullptr;
  Handshake tls12;
  std::optional<Handshake> legacy;  // TLS 1.0 and 1.1, tried when TLS 1.2 failed
};

struct TlsSeen {
  std::optional<Error> connect_error;     // no TCP connection at all
  Handshake tls12;                        // any TLS 1.2 suite
  std::optional<Handshake> any_version;   // tried when TLS 1.2 failed
  std::vector<ClientHandshakes> clients;  // Windows 10, then 7; empty when the server never spoke
};

TlsSeen survey_tls(const ServerEndpoint& endpoint, const Deadline& deadline);

// The handshake the HTTP requests use: a Windows client's where one got through.
std::optional<TlsProfile> request_profile(const TlsSeen& seen);

// Where and how the requests go.
struct Requests {
  ServerEndpoint endpoint;
  const DownloadUrl& url;
  TlsProfile profile;
  const Deadline& deadline;
};

struct HeadSeen {
  std::optional<Error> error;  // connecting, sending or reading; a wait that ran out included
  std::string reply;           // what arrived, at most MAX_HEAD_REPLY_BYTES
  bool over_limit = false;     // more than that came
  bool out_of_time = false;    // the run's deadline passed during the exchange
};

HeadSeen fetch_head(const Requests& requests);

struct BodySeen {
  uint64_t size = 0;
  std::optional<Error> error;  // the read that ended it, when it was not a clean end
  bool over_limit = false;     // more came than the caller wanted read
  bool out_of_time = false;
};

struct GetSeen {
  std::optional<Error> error;  // connecting, sending or reading the head
  // The head's lines as the bootstrapper read them, line ends included: up to its blank line, or
  // the line its parser refused, or the end of the stream.
  std::vector<std::string> head_lines;
  bool refused = false;     // the bootstrapper's parser refused the last line
  bool head_ended = false;  // it found the blank line
  // The first line that is a bare line feed: a head the server meant to end there.
  std::optional<size_t> bare_blank_line;
  bool out_of_time = false;
  BodySeen body;  // read only when the bootstrapper's parser got through the head
};

// A GET from `start` ("Range: bytes=start-" unless 0); the body goes to `sink`, up to `limit`
// bytes.
GetSeen fetch_get(const Requests& requests, uint64_t start, BodySink& sink, uint64_t limit);

}  // namespace quorvel::check
