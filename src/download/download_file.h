// Brings the download file up to date with the file behind the URL: a HEAD request learns length,
// entity tag and checksum; a partial file whose entity tag is unchanged is continued with a ranged
// GET, anything else starts afresh. Progress goes to the shared status after every body read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "download/download_status.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

struct DownloadRequest {
  std::string_view url;
  std::string file_path;        // UTF-8
  std::string entity_tag_path;  // UTF-8
};

// Stores the HEAD reply's x-oss-hash-crc64ecma value into remote_crc (left alone when absent).
// Prints its progress lines on standard output. A body that ends before the length the HEAD reply
// announced fails with both counts and sets attempt.cut_mid_body: the file keeps what arrived and
// the entity-tag file its tag, for the next attempt to resume. What the HEAD reply announced, and a
// refusing server's Retry-After, go to `attempt` too.
Task<Result<void>> download_file(const Connector& connector, const DownloadRequest& request,
                                 uint64_t& remote_crc, AttemptOutcome& attempt,
                                 std::shared_ptr<DownloadStatus> status);

// The percentage shown for downloaded bytes out of total: capped at 100, and 0 while the total is
// unknown (the job's final phase tells the rest).
uint8_t download_percent(uint64_t downloaded, uint64_t total);

}  // namespace quorvel
