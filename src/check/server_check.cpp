#include "check/server_check.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "check/reply_facts.h"
#include "check/signature_check.h"
#include "check/tls_client.h"
#include "check/windows_clients.h"
#include "download/buffered_stream.h"
#include "download/crc64.h"
#include "download/download_url.h"
#include "download/http_exchange.h"
#include "download/http_request.h"
#include "download/number.h"
#include "download/utf8.h"
#include "runtime/task.h"

namespace quorvel::check {

namespace {

constexpr uint64_t EXTRA_BODY_BYTES = 1 << 20;          // read past an announced length, to see it
constexpr uint64_t MAX_BODY_BYTES = uint64_t{8} << 30;  // with no length announced
// The bootstrapper skips the GET reply's header lines one by one; the check keeps them, so it
// bounds their sum.
constexpr size_t MAX_GET_HEAD_BYTES = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string spellings(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::string_view name : names) {
    if (!text.empty()) text += ", ";
    text += quoted(name);
  }
  return text;
}

// One connection's reply head, as the bootstrapper reads it.
struct GetReply {
  std::optional<BufferedStream> stream;
  std::vector<std::string> head_lines;
  std::optional<std::string> error;  // connecting, sending or reading the head
  GetFacts facts;
};

// The body as the bootstrapper stores it: every byte until the connection ends.
struct Body {
  uint64_t size = 0;
  uint64_t crc_state = CRC64_XZ_INIT;
  std::optional<Error> error;  // the read that ended it, when not a clean end
  bool capped = false;         // more arrived than the check reads
};

class Checker {
 public:
  Checker(const CheckOptions& options, Report& report, DownloadUrl url)
      : options_(options), report_(report), url_(std::move(url)) {
    endpoint_.host = std::string(url_.host);
    endpoint_.port = url_.port;
    endpoint_.ca_file = options.ca_file;
    endpoint_.timeout_seconds = options.timeout_seconds;
  }

  int run(std::string& fatal) {
    if (!check_tls(fatal)) return VERDICT_UNREACHABLE;
    if (!data_profile_) {
      report_.add(Severity::Fail, "HTTP", "not checked: no TLS session could be opened");
      return verdict(report_.findings());
    }
    const bool head_ok = check_head();
    check_get(head_ok);
    // Resuming is judged against a whole file only.
    if (body_whole_ && body_.size >= 2) check_resume_from_middle();
    if (body_whole_) check_resume_past_end();
    return verdict(report_.findings());
  }

 private:
  // ---- TLS --------------------------------------------------------------------------------

  bool check_tls(std::string& fatal) {
    TlsOpen tls12 = open_tls(endpoint_, any_tls12_profile());
    if (tls12.failure == TlsOpen::Failure::Connect) {
      fatal = "cannot connect to " + endpoint_.host + ":" + std::to_string(endpoint_.port) + ": " +
              error_text(*tls12.error);
      return false;
    }
    std::optional<TlsFacts> seen;
    if (tls12.failure == TlsOpen::Failure::None) {
      report_.add(Severity::Ok, "TLS 1.2", "offered");
      seen = tls12.facts;
      data_profile_ = any_tls12_profile();
    } else {
      TlsOpen any = open_tls(endpoint_, any_tls_profile());
      if (any.failure == TlsOpen::Failure::None) {
        report_.add(Severity::Fail, "TLS 1.2",
                    "not offered (" + error_text(*tls12.error) + "); the server speaks " +
                        any.facts.version + ", and the bootstrapper speaks TLS 1.0 to 1.2 only");
        seen = any.facts;
        data_profile_ = any_tls_profile();
      } else {
        report_.add(Severity::Fail, "TLS 1.2",
                    "no TLS handshake at all: " + error_text(*tls12.error));
      }
    }

    if (seen) {
      report_.add(seen->certificate_ok ? Severity::Ok : Severity::Fail, "certificate",
                  seen->certificate_text);
    } else {
      report_.add(Severity::Fail, "certificate", "not seen: no handshake completed");
    }

    // Windows 10 first: its session carries the HTTP checks when it can.
    for (const WindowsClient* client : {&windows10_client(), &windows7_client()}) {
      const TlsProfile profile = profile_for(*client);
      TlsOpen open = open_tls(endpoint_, profile);
      const std::string requirement = std::string("TLS for ") + std::string(client->name);
      if (open.failure == TlsOpen::Failure::None) {
        report_.add(Severity::Ok, requirement, "TLS 1.2 with " + open.facts.suite);
        if (!windows_profile_) windows_profile_ = profile;
      } else if (tls12.failure == TlsOpen::Failure::None) {
        report_.add(Severity::Fail, requirement,
                    "no TLS 1.2 cipher suite in common with its Schannel (" +
                        error_text(*open.error) + "): every " + std::string(client->name) +
                        " player is locked out; see docs/serving.md for the suites it offers");
      } else {
        report_.add(Severity::Fail, requirement,
                    "no TLS 1.2 handshake: " + error_text(*open.error));
      }
    }
    if (windows_profile_) data_profile_ = windows_profile_;
    return true;
  }

  // ---- HTTP ---------------------------------------------------------------------------------

  Result<BufferedStream> connect() {
    TlsOpen open = open_tls(endpoint_, *data_profile_);
    if (open.failure != TlsOpen::Failure::None) return std::move(*open.error);
    return BufferedStream(std::move(open.stream));
  }

  bool check_head() {
    auto stream = connect();
    if (!stream) {
      report_.add(Severity::Fail, "HEAD", "cannot connect: " + error_text(stream.error()));
      return false;
    }
    auto sent = block_on(send_request(*stream, format_head_request(url_.path, url_.host)));
    if (!sent) {
      report_.add(Severity::Fail, "HEAD", "cannot send the request: " + error_text(sent.error()));
      return false;
    }
    std::string reply;
    auto read =
        block_on(stream->read_to_end(reply, MAX_HEAD_REPLY_BYTES, HEAD_REPLY_TOO_LONG_TEXT));
    (void)block_on(stream->close());
    if (!read) {
      if (read.error().kind() == ErrorKind::TimedOut) {
        report_.add(Severity::Fail, "HEAD reply",
                    "the server kept the connection open after " + std::to_string(reply.size()) +
                        " bytes (" + error_text(read.error()) +
                        "); the bootstrapper reads the reply until the connection closes and "
                        "waits forever");
      } else {
        report_.add(Severity::Fail, "HEAD reply", error_text(read.error()));
        return false;
      }
    } else {
      report_.add(Severity::Ok, "HEAD reply",
                  std::to_string(reply.size()) + " bytes, then the connection closed");
    }

    const HeadFacts facts = head_facts(reply);
    if (facts.status_error) {
      std::string text = quoted(facts.status_line) +
                         ": the bootstrapper needs a reply that begins with \"HTTP/1.1 200\"";
      const int code = status_code(facts.status_line);
      if (code >= 300 && code < 400) text += " and follows no redirect";
      report_.add(Severity::Fail, "HEAD status", text);
      return false;
    }
    report_.add(Severity::Ok, "HEAD status", quoted(facts.status_line));
    judge_content_length(facts);
    judge_etag(facts);
    judge_crc_header(facts);
    return true;
  }

  static std::string times(int lines) {
    return lines > 1 ? " (sent " + std::to_string(lines) + " times; the bootstrapper uses the last)"
                     : "";
  }

  void judge_content_length(const HeadFacts& facts) {
    const char* requirement = "Content-Length";
    if (facts.content_length) {
      auto value = parse_u64(*facts.content_length);
      if (!value) {
        report_.add(Severity::Fail, requirement,
                    quoted(*facts.content_length) + " is not a number (" +
                        error_text(value.error()) + "): every download fails");
        return;
      }
      announced_length_ = *value;
      report_.add(Severity::Ok, requirement,
                  std::to_string(*value) + " bytes" + times(facts.content_length_lines));
      return;
    }
    report_.add(
        Severity::Degraded, requirement,
        (facts.content_length_misspelt.empty()
             ? std::string("missing")
             : "not recognised: the server spells it " + spellings(facts.content_length_misspelt) +
                   " and the bootstrapper reads only \"Content-Length:\"") +
            "; downloads complete, but the progress bar never moves");
  }

  void judge_etag(const HeadFacts& facts) {
    const char* requirement = "ETag";
    if (facts.etag && !facts.etag->empty()) {
      etag_recognised_ = true;
      report_.add(Severity::Ok, requirement, std::string(*facts.etag) + times(facts.etag_lines));
      return;
    }
    std::string seen = facts.etag                    ? "empty"
                       : facts.etag_misspelt.empty() ? "missing"
                                                     : "not recognised: the server spells it " +
                                                           spellings(facts.etag_misspelt) +
                                                           " and the bootstrapper reads only "
                                                           "\"ETag:\"";
    report_.add(Severity::Degraded, requirement,
                seen + "; a cut download never resumes: it starts again from the first byte");
  }

  void judge_crc_header(const HeadFacts& facts) {
    const char* requirement = "x-oss-hash-crc64ecma";
    if (facts.crc64) {
      auto value = parse_u64(*facts.crc64);
      if (!value) {
        report_.add(Severity::Fail, requirement,
                    quoted(*facts.crc64) + " is not a decimal number (" +
                        error_text(value.error()) + "): every download fails");
        return;
      }
      announced_crc_ = *value;
      report_.add(Severity::Ok, requirement, std::to_string(*value) + times(facts.crc64_lines));
      return;
    }
    // The bootstrapper then checks every download against 0.
    announced_crc_ = 0;
    report_.add(Severity::Fail, requirement,
                (facts.crc64_misspelt.empty()
                     ? std::string("missing")
                     : "not recognised: the server spells it " + spellings(facts.crc64_misspelt) +
                           " and the bootstrapper reads only \"x-oss-hash-crc64ecma:\"") +
                    "; the checksum reads as 0, so every download is thrown away and started "
                    "again, forever");
  }

  // Sends a GET as the bootstrapper does and reads its head the same way.
  GetReply get(uint64_t start) {
    GetReply reply;
    auto stream = connect();
    if (!stream) {
      reply.error = "cannot connect: " + error_text(stream.error());
      return reply;
    }
    auto sent = block_on(send_request(*stream, format_get_request(url_.path, url_.host, start)));
    if (!sent) {
      reply.error = "cannot send the request: " + error_text(sent.error());
      return reply;
    }
    size_t head_bytes = 0;
    for (;;) {
      std::string line;
      auto n =
          block_on(stream->read_line(line, MAX_GET_HEAD_LINE_BYTES, GET_HEAD_LINE_TOO_LONG_TEXT));
      if (!n) {
        reply.error = error_text(n.error());
        return reply;
      }
      if (*n == 0) break;
      head_bytes += *n;
      if (head_bytes > MAX_GET_HEAD_BYTES) {
        reply.error = "the reply's head goes on past " + std::to_string(MAX_GET_HEAD_BYTES) +
                      " bytes without its blank line";
        return reply;
      }
      reply.head_lines.push_back(std::move(line));
      if (reply.head_lines.size() > 1 && is_end_of_head(reply.head_lines.back())) break;
      if (reply.head_lines.size() > 1 && !is_valid_utf8(reply.head_lines.back())) {
        reply.error = "a header line is not valid UTF-8: the bootstrapper fails";
        return reply;
      }
    }
    reply.facts = get_facts(reply.head_lines);
    reply.stream.emplace(std::move(*stream));
    return reply;
  }

  // Reads the body to its end (at most `cap` bytes), handing each piece to `sink`.
  template <class Sink>
  Body read_body(BufferedStream& stream, uint64_t cap, Sink&& sink) {
    Body body;
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
      auto n = block_on(stream.read(buffer));
      if (!n) {
        body.error = n.take_error();
        break;
      }
      if (*n == 0) break;
      size_t take = *n;
      if (body.size + take > cap) {
        take = static_cast<size_t>(cap - body.size);
        body.capped = true;
      }
      const std::span<const uint8_t> piece(buffer.data(), take);
      body.crc_state = crc64_xz_update(body.crc_state, piece);
      body.size += take;
      sink(piece, body.size);
      if (body.capped) break;
    }
    (void)block_on(stream.close());
    return body;
  }

  void progress(uint64_t done) {
    if (!options_.show_progress) return;
    if (announced_length_ && *announced_length_ > 0) {
      std::fprintf(stderr, "\r  downloading: %llu of %llu bytes (%llu%%)",
                   static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(*announced_length_),
                   static_cast<unsigned long long>(
                       std::min<uint64_t>(100, done * 100 / *announced_length_)));
    } else {
      std::fprintf(stderr, "\r  downloading: %llu bytes", static_cast<unsigned long long>(done));
    }
  }

  void check_get(bool head_ok) {
    GetReply reply = get(0);
    if (reply.error) {
      report_.add(Severity::Fail, "GET", *reply.error);
      report_.add(Severity::Fail, "checksum", "not checked: no body");
      return;
    }
    if (reply.facts.status_error) {
      std::string text = quoted(reply.facts.status_line) +
                         ": the bootstrapper needs \"HTTP/1.1 200\" or \"HTTP/1.1 206\"";
      if (reply.facts.location)
        text += " and follows no redirect (to " + quoted(*reply.facts.location) + ")";
      report_.add(Severity::Fail, "GET status", text);
      report_.add(Severity::Fail, "checksum", "not checked: no body");
      return;
    }
    report_.add(Severity::Ok, "GET status", quoted(reply.facts.status_line));

    body_file_.reset(std::tmpfile());
    if (!body_file_) {
      report_.add(Severity::Fail, "GET body", "cannot make a temporary file for it");
      return;
    }
    const uint64_t cap = announced_length_ ? *announced_length_ + EXTRA_BODY_BYTES : MAX_BODY_BYTES;
    uint64_t last_shown = 0;
    body_ = read_body(*reply.stream, cap, [&](std::span<const uint8_t> piece, uint64_t done) {
      std::fwrite(piece.data(), 1, piece.size(), body_file_.get());
      if (done - last_shown >= (256 << 10)) {
        progress(done);
        last_shown = done;
      }
    });
    if (options_.show_progress) std::fprintf(stderr, "\r\033[K");
    std::fflush(body_file_.get());
    const uint64_t crc = crc64_xz_finish(body_.crc_state);

    judge_body(reply.facts);
    if (!head_ok) {
      report_.add(Severity::Fail, "checksum",
                  "the served file has " + std::to_string(crc) +
                      ", but the HEAD reply gives the bootstrapper no checksum");
    } else if (announced_crc_ && *announced_crc_ == crc) {
      report_.add(Severity::Ok, "checksum",
                  "the " + std::to_string(body_.size) + " bytes served have CRC-64/XZ " +
                      std::to_string(crc) + ", as announced");
    } else {
      report_.add(Severity::Fail, "checksum",
                  "the " + std::to_string(body_.size) + " bytes served have CRC-64/XZ " +
                      std::to_string(crc) + ", the bootstrapper expects " +
                      std::to_string(announced_crc_.value_or(0)) +
                      ": every download is thrown away and started again, forever");
    }
    if (options_.local_file) compare_with_local_copy();
    if (!options_.publishers.empty()) {
      // The unnamed temporary file, by a path osslsigncode can open.
      const std::string path =
          "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fileno(body_file_.get()));
      Finding f = check_launcher_signature(path, options_.publishers, options_.ca_file);
      report_.add(f.severity, std::move(f.requirement), std::move(f.text));
    }
  }

  void judge_body(const GetFacts& facts) {
    std::string text = std::to_string(body_.size) + " bytes";
    Severity severity = Severity::Ok;
    if (is_transformed_body(facts.transfer_encoding) ||
        is_transformed_body(facts.content_encoding)) {
      severity = Severity::Fail;
      text += is_transformed_body(facts.transfer_encoding)
                  ? " sent with Transfer-Encoding: " + std::string(*facts.transfer_encoding)
                  : " sent with Content-Encoding: " + std::string(*facts.content_encoding);
      text += "; the bootstrapper stores the body as it comes and decodes nothing";
    } else if (body_.error && body_.error->kind() == ErrorKind::TimedOut) {
      severity = Severity::Fail;
      text += ", then the server kept the connection open (" + error_text(*body_.error) +
              "); the bootstrapper reads the body until the connection closes and waits forever";
    } else if (body_.error) {
      severity = Severity::Degraded;
      text += ", then the connection failed: " + error_text(*body_.error);
    } else if (body_.capped) {
      severity = Severity::Fail;
      text += " read, and more kept coming";
    } else {
      text += ", then the connection closed";
    }
    if (severity == Severity::Ok && announced_length_ && *announced_length_ != body_.size) {
      severity = Severity::Degraded;
      text += ", but the HEAD reply announced " + std::to_string(*announced_length_) +
              ": the progress bar is wrong and a resume may start over";
    }
    body_whole_ = severity == Severity::Ok;
    report_.add(severity, "GET body", text);
  }

  void compare_with_local_copy() {
    File local(std::fopen(options_.local_file->c_str(), "rb"));
    const std::string requirement = "local copy";
    if (!local) {
      report_.add(Severity::Fail, requirement, "cannot open " + *options_.local_file);
      return;
    }
    std::rewind(body_file_.get());
    std::vector<uint8_t> a(64 * 1024), b(64 * 1024);
    uint64_t offset = 0;
    for (;;) {
      const size_t na = std::fread(a.data(), 1, a.size(), body_file_.get());
      const size_t nb = std::fread(b.data(), 1, b.size(), local.get());
      const size_t common = std::min(na, nb);
      for (size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) {
          report_.add(Severity::Fail, requirement,
                      "the served file differs from " + *options_.local_file + " at byte " +
                          std::to_string(offset + i));
          return;
        }
      }
      offset += common;
      if (na != nb) {
        report_.add(Severity::Fail, requirement,
                    "the served file and " + *options_.local_file + " differ in length (" +
                        (na < nb ? "the served one ends" : "the local one ends") + " at byte " +
                        std::to_string(offset) + ")");
        return;
      }
      if (na == 0) break;
    }
    report_.add(Severity::Ok, requirement, "the served bytes are " + *options_.local_file + "'s");
  }

  // A resume from the middle: "Range: bytes=N-" must bring exactly the file's bytes from N on.
  void check_resume_from_middle() {
    const uint64_t start = body_.size / 2;
    const std::string requirement = "resume (Range: bytes=" + std::to_string(start) + "-)";
    const std::string restart =
        ": the bootstrapper fails the resume and starts again from the first byte, so every cut "
        "costs the whole download";
    GetReply reply = get(start);
    if (reply.error) {
      report_.add(Severity::Degraded, requirement, *reply.error + restart);
      return;
    }
    if (reply.facts.status_error) {
      report_.add(Severity::Degraded, requirement, quoted(reply.facts.status_line) + restart);
      return;
    }
    if (reply.facts.status_code == 200) {
      report_.add(Severity::Degraded, requirement,
                  "answered \"HTTP/1.1 200\" with the whole file" + restart);
      return;
    }
    // Compare with what the full GET stored, piece by piece.
    std::fseek(body_file_.get(), static_cast<long>(start), SEEK_SET);
    bool same = true;
    std::vector<uint8_t> expected;
    Body body = read_body(
        *reply.stream, body_.size - start + EXTRA_BODY_BYTES,
        [&](std::span<const uint8_t> piece, uint64_t) {
          if (!same) return;
          expected.resize(piece.size());
          const size_t n = std::fread(expected.data(), 1, piece.size(), body_file_.get());
          same = n == piece.size() && std::equal(piece.begin(), piece.end(), expected.begin());
        });
    if (!same || body.size != body_.size - start) {
      report_.add(Severity::Degraded, requirement,
                  quoted(reply.facts.status_line) + " with " + std::to_string(body.size) +
                      " bytes that are not the file's from byte " + std::to_string(start) +
                      restart);
      return;
    }
    report_.add(Severity::Ok, requirement,
                quoted(reply.facts.status_line) + " with the file's last " +
                    std::to_string(body.size) + " bytes" +
                    (etag_recognised_ ? "" : " (unused while the ETag is not recognised)"));
  }

  // A resume past the end (a download file longer than the served one) must get 416.
  void check_resume_past_end() {
    const uint64_t start = body_.size;
    const std::string requirement =
        "resume past the end (Range: bytes=" + std::to_string(start) + "-)";
    GetReply reply = get(start);
    if (reply.error) {
      report_.add(Severity::Degraded, requirement, *reply.error);
      return;
    }
    if (reply.facts.status_code == 416) {
      report_.add(Severity::Ok, requirement, quoted(reply.facts.status_line));
      return;
    }
    report_.add(Severity::Degraded, requirement,
                quoted(reply.facts.status_line) +
                    " instead of 416: a download file longer than the served one is appended to, "
                    "fails its checksum and starts over");
  }

  const CheckOptions& options_;
  Report& report_;
  DownloadUrl url_;
  ServerEndpoint endpoint_;
  std::optional<TlsProfile> data_profile_, windows_profile_;
  std::optional<uint64_t> announced_length_, announced_crc_;
  bool etag_recognised_ = false;
  bool body_whole_ = false;  // the full GET brought the announced length and ended cleanly
  File body_file_;
  Body body_;
};

}  // namespace

int run_server_check(const CheckOptions& options, Report& report, std::string& fatal) {
  auto url = parse_download_url(options.url);
  if (!url) {
    fatal = "the URL cannot be used: " + error_text(url.error());
    return VERDICT_UNREACHABLE;
  }
  if (options.local_file) {
    File local(std::fopen(options.local_file->c_str(), "rb"));
    if (!local) {
      fatal = "cannot open " + *options.local_file;
      return VERDICT_UNREACHABLE;
    }
  }
  // The URL's host is a slice of its text: keep both together.
  Checker checker(options, report, *url);
  return checker.run(fatal);
}

}  // namespace quorvel::check
