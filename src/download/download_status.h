// The record the download job and the window share: the job writes its progress and outcome, the
// window's tick reads them. It owns its lock, held only inside these few operations, so no caller
// can hold it across anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "download/retry_after.h"

namespace quorvel {

enum class Phase : uint8_t {
  Downloading = 0,
  Downloaded = 1,   // finished and the checksum matched
  CrcMismatch = 2,  // finished, but the file could not be read or its checksum differs
  Failed = 3,       // the download itself returned an error
  Installing = 4,   // set by the window's tick only
};

// What the window side needs to know about an attempt that ended, beyond its phase, to shape the
// next one. The default is an ordinary outcome: delete both files and start from zero.
struct AttemptOutcome {
  // The connection ended in the middle of the body: the partial file and its entity tag stay,
  // so that the next attempt resumes from them.
  bool cut_mid_body = false;
  size_t url_index = 0;    // 0: the download URL; else the mirror before it in the list
  bool announced = false;  // a HEAD reply was handled: the two values below are its
  uint64_t announced_crc = 0;
  std::optional<std::string> announced_etag;  // none: the reply had no ETag line
  std::optional<RetryAfter> retry_after;      // a 429 or 503 asked to be asked again later

  friend bool operator==(const AttemptOutcome&, const AttemptOutcome&) = default;
};

struct StatusSnapshot {
  Phase phase = Phase::Downloading;
  uint8_t percent = 0;
  AttemptOutcome outcome = {};

  friend bool operator==(const StatusSnapshot&, const StatusSnapshot&) = default;
};

class DownloadStatus {
 public:
  // Phase Downloading with a new percent (the job, after every body read).
  void publish_percent(uint8_t percent) {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Downloading;
    percent_ = percent;
  }

  // A final phase with its outcome (the job), or Installing (the tick). The percent stays.
  void publish_phase(Phase phase, AttemptOutcome outcome = {}) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
    outcome_ = std::move(outcome);
  }

  // Back to Downloading with nothing to report, before the tick starts another job.
  void reset(uint8_t percent = 0) {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Downloading;
    percent_ = percent;
    outcome_ = {};
  }

  StatusSnapshot copy() const {
    std::lock_guard lock(mutex_);
    return {phase_, percent_, outcome_};
  }

 private:
  mutable std::mutex mutex_;
  Phase phase_ = Phase::Downloading;
  uint8_t percent_ = 0;
  AttemptOutcome outcome_;
};

}  // namespace quorvel
