// The record the download job and the window share: the job writes its progress and outcome, the
// window's tick reads them. Guarded by its own mutex, held only to copy or write the fields.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace quorvel {

enum class Phase : uint8_t {
  Downloading = 0,
  Downloaded = 1,   // finished and the checksum matched
  CrcMismatch = 2,  // finished, but the file could not be read or its checksum differs
  Failed = 3,       // the download itself returned an error
  Installing = 4,   // set by the window's tick only
};

// What a finished attempt tells the window side beyond its phase, for the choice of when and where
// to try again. Written together with the final phase, under the same lock.
struct AttemptOutcome {
  size_t url_index = 0;    // 0: the download URL; else the mirror before it in the list
  bool announced = false;  // a HEAD reply was handled: the two values below are its
  uint64_t announced_crc = 0;
  std::optional<std::string> announced_etag;
  std::optional<std::chrono::seconds> retry_after;  // a 429 or 503 asked to wait this long
};

struct DownloadStatus {
  std::mutex mutex;
  Phase phase = Phase::Downloading;
  uint8_t percent = 0;
  AttemptOutcome outcome;  // meaningful with a final phase
};

}  // namespace quorvel
