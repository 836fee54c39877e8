#include "download/retry_policy.h"

#include <algorithm>
#include <memory>
#include <random>

namespace quorvel {

RetryPolicy::RetryPolicy(size_t url_count, std::function<double()> jitter)
    : hosts_(std::max<size_t>(url_count, 1)), jitter_(std::move(jitter)) {}

std::chrono::milliseconds RetryPolicy::jittered(std::chrono::milliseconds wait, double direction) {
  const double share = std::clamp(jitter_(), 0.0, 1.0) * JITTER_SHARE * direction;
  return std::chrono::milliseconds(
      static_cast<int64_t>(static_cast<double>(wait.count()) * (1.0 + share)));
}

std::chrono::milliseconds RetryPolicy::own_wait(const AttemptReport& report, HostMemory& host,
                                                bool& usual) {
  usual = false;
  std::optional<Announced> announced;
  if (report.announced) announced = Announced{report.announced_crc, report.announced_etag};
  // A different announcement is a different file (or a corrected header): the count starts over.
  if (announced && announced != host.last_mismatch) {
    host.last_mismatch.reset();
    host.mismatches = 0;
  }
  if (report.checksum_mismatch) {
    if (announced) host.last_mismatch = announced;
    host.mismatches += 1;
    if (host.mismatches < 2) return std::chrono::milliseconds(0);  // a transient corruption
    std::chrono::milliseconds wait = MISMATCH_FIRST_WAIT;
    for (int i = 2; i < host.mismatches && wait < MISMATCH_LONGEST_WAIT; ++i) wait *= 2;
    return jittered(std::min(wait, MISMATCH_LONGEST_WAIT), -1.0);
  }
  if (report.retry_after) {
    const auto asked = std::chrono::duration_cast<std::chrono::milliseconds>(*report.retry_after);
    if (asked > FAILURE_PAUSE) {
      return std::min(RETRY_AFTER_LONGEST_WAIT,
                      jittered(std::min(asked, RETRY_AFTER_LONGEST_WAIT), 1.0));
    }
  }
  usual = true;
  return FAILURE_PAUSE;
}

NextAttempt RetryPolicy::after(const AttemptReport& report) {
  const size_t index = std::min(report.url_index, hosts_.size() - 1);
  bool usual = false;
  const std::chrono::milliseconds wait = own_wait(report, hosts_[index], usual);
  NextAttempt next;
  if (report.cut_mid_body) {
    // The same host resumes its file after this attempt's own pause; the round goes on.
    next.url_index = index;
    next.keep_files = true;
    next.wait = wait;
    next.usual_pause = usual;
    return next;
  }
  if (wait > round_wait_ || (wait == round_wait_ && usual)) {
    round_wait_ = wait;
    round_usual_ = usual;
  }
  next.url_index = (index + 1) % hosts_.size();
  if (next.url_index == 0) {
    next.wait = round_wait_;
    next.usual_pause = round_usual_;
    round_wait_ = std::chrono::milliseconds(0);
    round_usual_ = false;
  }
  return next;
}

std::function<double()> random_jitter() {
  // The clock too, should a platform's random_device be a fixed sequence.
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  std::seed_seq seed{static_cast<uint64_t>(std::random_device{}()), static_cast<uint64_t>(now)};
  auto generator = std::make_shared<std::mt19937_64>(seed);
  return [generator] { return std::uniform_real_distribution<double>(0.0, 1.0)(*generator); };
}

}  // namespace quorvel
