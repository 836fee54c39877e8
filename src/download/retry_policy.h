// When and where the next download attempt goes after one that failed. One copy of the program
// alone would be served well by retrying at once; a million copies behind one wrong header or one
// overloaded server must not flood it. So:
//   - a failure waits the usual 3-second pause; a 429 or 503 that names Retry-After waits that
//     long instead (capped at 10 minutes, a little more at random so that windows spread out);
//   - a checksum mismatch restarts at once, but a host that announces the same checksum and entity
//     tag and mismatches again is asked again only after 3 s, then 6, 12, ... up to 2 minutes
//     (a little less at random); announcing anything else starts the count afresh;
//   - with mirrors, a failed attempt moves on to the next URL at once and the pause is taken once a
//     round, before the primary is asked again; an attempt cut mid-body stays on its host.
// Portable and clock-free: the caller measures the wait; the jitter comes from an injected source.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr std::chrono::milliseconds FAILURE_PAUSE{3000};
inline constexpr std::chrono::milliseconds MISMATCH_FIRST_WAIT{3000};
inline constexpr std::chrono::milliseconds MISMATCH_LONGEST_WAIT{120'000};
inline constexpr std::chrono::milliseconds RETRY_AFTER_LONGEST_WAIT{600'000};
// The share of a wait given to chance: mismatch waits are shortened, Retry-After waits lengthened
// (a server's Retry-After is the earliest it wants to be asked again) by up to this fraction.
inline constexpr double JITTER_SHARE = 0.2;

// What one finished attempt tells the policy.
struct AttemptReport {
  bool checksum_mismatch = false;  // else the attempt failed
  size_t url_index = 0;            // 0: the primary
  // What its HEAD reply announced, when one was read.
  bool announced = false;
  uint64_t announced_crc = 0;
  std::optional<std::string> announced_etag;        // none: the reply had no ETag line
  std::optional<std::chrono::seconds> retry_after;  // a 429 or 503 asked for this
  bool cut_mid_body = false;  // the body broke off: the files are kept and resumed
};

struct NextAttempt {
  size_t url_index = 0;
  std::chrono::milliseconds wait{0};
  // The usual 3-second pause, which the window sits out frozen; any other wait keeps it drawn.
  bool usual_pause = false;
  bool keep_files = false;
};

class RetryPolicy {
 public:
  // `jitter` yields numbers in [0, 1).
  RetryPolicy(size_t url_count, std::function<double()> jitter);

  NextAttempt after(const AttemptReport& report);

 private:
  struct Announced {
    uint64_t crc;
    std::optional<std::string> etag;
    bool operator==(const Announced&) const = default;
  };
  struct HostMemory {
    std::optional<Announced> last_mismatch;
    int mismatches = 0;  // in a row with the same announcement
  };

  std::chrono::milliseconds own_wait(const AttemptReport& report, HostMemory& host, bool& usual);
  std::chrono::milliseconds jittered(std::chrono::milliseconds wait, double direction);

  std::vector<HostMemory> hosts_;
  std::function<double()> jitter_;
  // The longest wait the attempts of this round have earned, taken before the primary again.
  std::chrono::milliseconds round_wait_{0};
  bool round_usual_ = false;
};

// Numbers in [0, 1) from a generator seeded differently in every process.
std::function<double()> random_jitter();

}  // namespace quorvel
