// The record the download job and the window share: the job writes its progress and outcome, the
// window's tick reads them. Guarded by its own mutex, held only to copy or write the two fields.
#pragma once

#include <cstdint>
#include <mutex>

namespace quorvel {

enum class Phase : uint8_t {
  Downloading = 0,
  Downloaded = 1,   // finished and the checksum matched
  CrcMismatch = 2,  // finished, but the file could not be read or its checksum differs
  Failed = 3,       // the download itself returned an error
  Installing = 4,   // set by the window's tick only
};

struct DownloadStatus {
  std::mutex mutex;
  Phase phase = Phase::Downloading;
  uint8_t percent = 0;
};

}  // namespace quorvel
