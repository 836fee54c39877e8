#include "check/fetch.h"

#include "download/buffered_stream.h"
#include "download/http_exchange.h"
#include "download/http_reply.h"
#include "download/http_request.h"
#include "runtime/task.h"

namespace quorvel::check {

namespace {

// The bootstrapper bounds each line of a GET head, not the head; the check bounds both.
constexpr size_t MAX_GET_HEAD_BYTES = 1 << 20;

Handshake handshake(const ServerEndpoint& endpoint, const TlsProfile& profile,
                    const Deadline& deadline) {
  TlsOpen open = open_tls(endpoint, profile, deadline);
  return {std::move(open.error), std::move(open.facts)};
}

// A wait that ended the exchange because the run's time was up, not because of the server alone.
bool ran_out(const std::optional<Error>& error, const Deadline& deadline) {
  return error && error->kind() == ErrorKind::TimedOut && deadline.passed();
}

Result<BufferedStream> connect(const Requests& requests) {
  TlsOpen open = open_tls(requests.endpoint, requests.profile, requests.deadline);
  if (open.failure != TlsOpen::Failure::None) return std::move(*open.error);
  return BufferedStream(std::move(open.stream));
}

}  // namespace

TlsSeen survey_tls(const ServerEndpoint& endpoint, const Deadline& deadline) {
  TlsSeen seen;
  TlsOpen tls12 = open_tls(endpoint, any_tls12_profile(), deadline);
  if (tls12.failure == TlsOpen::Failure::Connect) {
    seen.connect_error = std::move(tls12.error);
    return seen;
  }
  seen.tls12 = {std::move(tls12.error), std::move(tls12.facts)};
  // A server that never answered a handshake will not answer the next ones either.
  if (!seen.tls12.ok() && seen.tls12.error->kind() == ErrorKind::TimedOut) return seen;
  if (!seen.tls12.ok()) seen.any_version = handshake(endpoint, any_tls_profile(), deadline);
  for (const WindowsClient* client : {&windows10_client(), &windows7_client()}) {
    ClientHandshakes tried{client, handshake(endpoint, profile_for(*client), deadline), {}};
    if (!tried.tls12.ok() && seen.any_version && seen.any_version->ok()) {
      tried.legacy = handshake(endpoint, legacy_profile_for(*client), deadline);
    }
    seen.clients.push_back(std::move(tried));
  }
  return seen;
}

std::optional<TlsProfile> request_profile(const TlsSeen& seen) {
  for (const ClientHandshakes& tried : seen.clients) {
    if (tried.tls12.ok()) return profile_for(*tried.client);
    if (tried.legacy && tried.legacy->ok()) return legacy_profile_for(*tried.client);
  }
  if (seen.tls12.ok()) return any_tls12_profile();
  if (seen.any_version && seen.any_version->ok()) return any_tls_profile();
  return std::nullopt;
}

HeadSeen fetch_head(const Requests& requests) {
  HeadSeen seen;
  auto stream = connect(requests);
  if (!stream) {
    seen.error = stream.take_error();
  } else if (auto sent = block_on(
                 send_request(*stream, format_head_request(requests.url.path, requests.url.host)));
             !sent) {
    seen.error = sent.take_error();
  } else {
    // The bootstrapper's limit, with a text of the check's own: it tells over_limit apart.
    auto read = block_on(stream->read_to_end(seen.reply, MAX_HEAD_REPLY_BYTES, "over the limit"));
    if (!read && read.error().kind() == ErrorKind::InvalidData) {
      seen.over_limit = true;
    } else if (!read) {
      seen.error = read.take_error();
    }
    (void)block_on(stream->close());
  }
  seen.out_of_time = ran_out(seen.error, requests.deadline);
  return seen;
}

GetSeen fetch_get(const Requests& requests, uint64_t start, BodySink& sink, uint64_t limit) {
  GetSeen seen;
  auto stream = connect(requests);
  if (!stream) {
    seen.error = stream.take_error();
    seen.out_of_time = ran_out(seen.error, requests.deadline);
    return seen;
  }
  auto sent = block_on(
      send_request(*stream, format_get_request(requests.url.path, requests.url.host, start)));
  if (!sent) {
    seen.error = sent.take_error();
    seen.out_of_time = ran_out(seen.error, requests.deadline);
    return seen;
  }

  // The head, line by line through the bootstrapper's own parser.
  GetHeadParser parser;
  size_t head_bytes = 0;
  bool status_refused = false;  // then the rest of the head is read only to tell what it says
  for (;;) {
    std::string line;
    auto n = block_on(
        stream->read_line(line, MAX_GET_HEAD_LINE_BYTES, "a line of the head is over the limit"));
    if (!n) {
      seen.error = n.take_error();
      break;
    }
    if (*n == 0) break;  // the end of the stream
    head_bytes += *n;
    if (head_bytes > MAX_GET_HEAD_BYTES) {
      seen.error = Error::kind(ErrorKind::InvalidData, "the head goes on past " +
                                                           std::to_string(MAX_GET_HEAD_BYTES) +
                                                           " bytes without its blank line");
      break;
    }
    if (status_refused) {
      const bool blank = line == "\r\n" || line == "\n";
      seen.head_lines.push_back(std::move(line));
      if (blank) break;
      continue;
    }
    if (line == "\n" && parser.status_seen() && !seen.bare_blank_line) {
      seen.bare_blank_line = seen.head_lines.size();
    }
    auto fed = parser.feed_line(line);
    seen.head_lines.push_back(std::move(line));
    if (!fed) {
      seen.refused = true;
      status_refused = seen.head_lines.size() == 1;
      if (status_refused) continue;
      break;
    }
    if ((seen.head_ended = *fed)) break;
  }

  if (seen.head_ended) {
    // The body as the bootstrapper stores it: every byte until the connection ends.
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
      auto n = block_on(stream->read(buffer));
      if (!n) {
        seen.body.error = n.take_error();
        break;
      }
      if (*n == 0) break;
      size_t take = *n;
      if (seen.body.size + take > limit) {
        take = static_cast<size_t>(limit - seen.body.size);
        seen.body.over_limit = true;
      }
      sink.take(std::span<const uint8_t>(buffer.data(), take));
      seen.body.size += take;
      if (seen.body.over_limit) break;
    }
    seen.body.out_of_time = ran_out(seen.body.error, requests.deadline);
  }
  (void)block_on(stream->close());
  seen.out_of_time = ran_out(seen.error, requests.deadline);
  return seen;
}

}  // namespace quorvel::check
