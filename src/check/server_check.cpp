#include "check/server_check.h"

#include <cstdio>

#include "check/body_sink.h"
#include "check/fetch.h"
#include "check/judge.h"
#include "check/signature_check.h"
#include "check/tls_client.h"
#include "download/url_rules.h"

namespace quorvel::check {

namespace {

// Read past an announced length, to see that more comes; with no length, up to this.
constexpr uint64_t EXTRA_BODY_BYTES = 1 << 20;
constexpr uint64_t MAX_BODY_BYTES = uint64_t{64} << 30;

class Run {
 public:
  Run(const CheckOptions& options, Report& report, const DownloadUrl& url)
      : options_(options),
        report_(report),
        url_(url),
        deadline_(options.whole_run, options.each_wait) {
    endpoint_.host = std::string(url.host);
    endpoint_.port = url.port;
    endpoint_.ca_file = options.ca_file;
  }

  // What the HEAD step announced, once the run has come that far.
  const std::optional<Announced>& announced() const { return announced_; }

  int run(std::string& fatal) {
    const TlsSeen tls = survey_tls(endpoint_, deadline_);
    if (tls.connect_error) {
      fatal = "cannot connect to " + endpoint_.host + ":" + std::to_string(endpoint_.port) + ": " +
              error_text(*tls.connect_error);
      return VERDICT_UNREACHABLE;
    }
    add(judge_tls(tls));
    const auto profile = request_profile(tls);
    if (!profile) {
      left_unchecked("mirrors", "no TLS session could be opened");
      return verdict(report_.findings());
    }
    const Requests requests{endpoint_, url_, *profile, deadline_};
    const Announced announced = check_heads(requests);
    announced_ = announced;
    if (!step_ahead("GET")) return verdict(report_.findings());
    ChecksumSink whole;
    const GetSeen get = check_get(requests, announced, whole);
    if (!step_ahead("resume")) return verdict(report_.findings());
    // Resuming is judged against a whole file only.
    if (!body_is_whole(get, announced)) {
      report_.add(Severity::Unchecked, "resume", "not checked: no whole file to resume");
      return verdict(report_.findings());
    }
    check_resumes(requests, announced, whole);
    return verdict(report_.findings());
  }

 private:
  // The HEAD reply, then more on fresh connections to compare.
  Announced check_heads(const Requests& requests) {
    std::vector<HeadSeen> heads{fetch_head(requests)};
    Announced announced;
    add(judge_head(heads[0], options_.whole_run, announced));
    if (!step_ahead("mirrors")) return announced;
    if (!announced.usable) {
      add({{Severity::Unchecked, "mirrors", "not compared: the first HEAD reply is unusable"}});
      return announced;
    }
    while (static_cast<int>(heads.size()) < options_.head_requests && !deadline_.passed()) {
      heads.push_back(fetch_head(requests));
    }
    add(judge_mirrors(heads));
    return announced;
  }

  // The whole file as the bootstrapper fetches it. Its bytes pass through sinks as they arrive
  // and are kept nowhere; a further consumer of the body joins `sinks`.
  GetSeen check_get(const Requests& requests, const Announced& announced, ChecksumSink& whole) {
    // Checksum states for the resume from the middle: there, or at the powers of two when the
    // length is not known.
    if (announced.length && *announced.length >= 2) whole.keep_state_at(*announced.length / 2);
    for (uint64_t offset = 1; offset < (uint64_t{1} << 62); offset <<= 1) {
      whole.keep_state_at(offset);
    }
    std::vector<BodySink*> sinks{&whole};
    std::unique_ptr<LocalCopySink> local;
    if (options_.local_file) {
      if (auto opened = LocalCopySink::open(*options_.local_file)) {
        local = std::move(*opened);
        sinks.push_back(local.get());
      }
    }
    // The signature is read from a file: a copy of the body, only of an announced length.
    std::unique_ptr<FileCopySink> copy;
    std::optional<Error> no_copy;
    if (!options_.publishers.empty() && announced.length) {
      if (auto made = FileCopySink::make()) {
        copy = std::move(*made);
        sinks.push_back(copy.get());
      } else {
        no_copy = made.error();
      }
    }
    std::optional<ProgressSink> progress;
    if (options_.show_progress) sinks.push_back(&progress.emplace(stderr, announced.length));
    FanOut body(sinks);
    const uint64_t limit = announced.length ? *announced.length + EXTRA_BODY_BYTES : MAX_BODY_BYTES;
    GetSeen get = fetch_get(requests, 0, body, limit);
    progress.reset();

    add(judge_get(get, announced, options_.whole_run));
    const bool ended = get.head_ended && !get.body.out_of_time;
    const Findings checksum =
        judge_checksum(get, ended ? std::optional<uint64_t>(whole.crc()) : std::nullopt, announced);
    add(checksum);
    if (local && ended) {
      add(judge_local_copy(local->finish(), *options_.local_file,
                           checksum.front().severity == Severity::Ok));
    } else if (options_.local_file) {
      add({{Severity::Unchecked, "local copy", "not compared: no whole body"}});
    }
    if (!options_.publishers.empty()) {
      add({signature_of_copy(copy.get(), no_copy, ended, checksum.front().severity)});
    }
    return get;
  }

  Finding signature_of_copy(FileCopySink* copy, const std::optional<Error>& no_copy, bool ended,
                            Severity checksum) {
    const char* requirement = "launcher signature";
    if (no_copy) {
      return {Severity::Fail, requirement,
              "not checked: no temporary copy: " + error_text(*no_copy)};
    }
    if (!copy || !ended) return {Severity::Unchecked, requirement, "not checked: no whole file"};
    if (checksum != Severity::Ok) {
      return {Severity::Unchecked, requirement, "not checked: the served file fails its checksum"};
    }
    Result<std::string> path = copy->finish();
    if (!path) {
      return {Severity::Fail, requirement,
              "not checked: the temporary copy cannot be written: " + error_text(path.error())};
    }
    return check_launcher_signature(*path, options_.publishers, options_.issuers, options_.ca_file);
  }

  // A resume from the middle, then one past the end.
  void check_resumes(const Requests& requests, const Announced& announced,
                     const ChecksumSink& whole) {
    const uint64_t size = whole.size();
    if (const auto start = middle(whole, announced)) {
      ChecksumSink rest(*start, *whole.state_at(*start));
      const GetSeen resumed = fetch_get(requests, *start, rest, size - *start + EXTRA_BODY_BYTES);
      const bool same = resumed.head_ended && rest.size() == size && rest.crc() == whole.crc();
      add(judge_resume(*start, resumed, same, announced));
    }
    if (!step_ahead("resume past the end")) return;
    ChecksumSink ignored;
    add(judge_resume_past_end(size, fetch_get(requests, size, ignored, EXTRA_BODY_BYTES)));
  }

  void add(const Findings& findings) {
    for (const Finding& f : findings) report_.add(f.severity, f.requirement, f.text);
  }

  // Says what is left unchecked when the run's time is up; false then.
  bool step_ahead(std::string_view next) {
    if (out_of_time_) return false;  // already said
    if (!deadline_.passed()) return true;
    out_of_time_ = true;
    left_unchecked(next,
                   "the check's " + std::to_string(options_.whole_run.count()) + " s ran out");
    return false;
  }

  // Names the steps from `first` on, which the run does not reach.
  void left_unchecked(std::string_view first, const std::string& why) {
    static constexpr std::string_view STEPS[] = {"mirrors", "GET", "checksum", "resume",
                                                 "resume past the end"};
    std::string steps;
    for (std::string_view step : STEPS) {
      if (step != first && steps.empty()) continue;
      if (!steps.empty()) steps += ", ";
      steps += step;
    }
    report_.add(Severity::Unchecked, "left unchecked", steps + " (" + why + ")");
  }

  // Where the resume from the middle starts: the middle of the announced length, or else the
  // largest offset with a kept checksum state in the first half.
  static std::optional<uint64_t> middle(const ChecksumSink& whole, const Announced& announced) {
    if (whole.size() < 2) return std::nullopt;
    if (announced.length && whole.state_at(*announced.length / 2)) return *announced.length / 2;
    return whole.kept_offset_up_to(whole.size() / 2);
  }

  const CheckOptions& options_;
  Report& report_;
  const DownloadUrl& url_;
  Deadline deadline_;
  bool out_of_time_ = false;
  ServerEndpoint endpoint_;
  std::optional<Announced> announced_;
};

}  // namespace

std::optional<std::string> check_arguments(const CheckOptions& options) {
  if (auto broken = broken_url_rule(options.url)) {
    return "the URL breaks a rule the build enforces: " + url_rule_text(*broken);
  }
  for (const std::string& mirror : options.mirrors) {
    if (auto broken = broken_url_rule(mirror)) {
      return "--mirror-url " + mirror +
             " breaks a rule the build enforces: " + url_rule_text(*broken);
    }
  }
  if (options.ca_file) {
    if (auto roots = check_trusted_roots(*options.ca_file); !roots) {
      return "--ca-file " + *options.ca_file + " cannot be used: " + error_text(roots.error());
    }
  }
  if (options.local_file) {
    if (auto local = LocalCopySink::open(*options.local_file); !local) {
      return "--file " + *options.local_file + " cannot be read: " + error_text(local.error());
    }
  }
  return std::nullopt;
}

int run_server_check(const CheckOptions& options, Report& report, std::string& fatal,
                     Announced* announced) {
  // The URL's host is a slice of its text: options.url outlives the run.
  auto url = parse_download_url(options.url);
  if (!url) {
    fatal = "the URL cannot be used: " + error_text(url.error());
    return VERDICT_UNREACHABLE;
  }
  Run run(options, report, *url);
  const int status = run.run(fatal);
  if (announced && run.announced()) *announced = *run.announced();
  return status;
}

}  // namespace quorvel::check
