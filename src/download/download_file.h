// Brings the download file up to date with the file behind the URL: a HEAD request learns length,
// entity tag and checksum; a partial file whose entity tag is unchanged is continued with a ranged
// GET, anything else starts afresh. Progress goes to the shared status after every body read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "download/download_status.h"
#include "download/retry_after.h"
#include "net/byte_stream.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace quorvel {

struct DownloadRequest {
  std::string_view url;
  std::string file_path;        // UTF-8
  std::string entity_tag_path;  // UTF-8
};

// What the server said in one attempt besides the file: for the window side's choice of when and
// where to try again.
struct ServerSaid {
  bool head_read = false;                 // a HEAD reply was accepted and its headers handled
  std::optional<std::string> etag;        // its ETag value; none without an ETag line
  std::optional<RetryAfter> retry_after;  // a 429 or 503 reply asked to be asked again later
};

// Stores the HEAD reply's x-oss-hash-crc64ecma value into remote_crc (left alone when absent).
// Prints its progress lines on standard output.
Task<Result<void>> download_file(const Connector& connector, const DownloadRequest& request,
                                 uint64_t& remote_crc, std::shared_ptr<DownloadStatus> status,
                                 ServerSaid* said = nullptr);

// The percentage shown for downloaded bytes out of total: capped at 100, and 0 while the total is
// unknown (the job's final phase tells the rest).
uint8_t download_percent(uint64_t downloaded, uint64_t total);

}  // namespace quorvel
