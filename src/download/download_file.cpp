#include "download/download_file.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <vector>

#include "download/buffered_stream.h"
#include "download/download_url.h"
#include "download/files.h"
#include "download/http_exchange.h"
#include "download/http_reply.h"
#include "download/http_request.h"
#include "download/number.h"
#include "runtime/output.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void print(std::string_view text) {
  print_line(OutputStream::Out, text);
}

// The stored entity tag, or empty when the file cannot be opened. A failed read or bytes that are
// not UTF-8 are errors.
Result<std::string> read_entity_tag(const std::string& path, bool& found) {
  found = false;
  auto file = File::open_read(path);
  if (!file) return std::string();
  found = true;
  std::string text;
  uint8_t chunk[4096];
  for (;;) {
    auto n = file->read(chunk);
    if (!n) return n.take_error();
    if (*n == 0) break;
    text.append(reinterpret_cast<const char*>(chunk), *n);
  }
  if (!is_valid_utf8(text))
    return Error::kind(ErrorKind::InvalidData, std::string(INVALID_UTF8_TEXT));
  return text;
}

// The failure of a body that ended after `downloaded` of the file's `total` bytes: the connection
// closed, or was lost with the read failure `lost`. The counts are plain decimal, as every byte
// count the program prints, so the first one is the offset the next attempt's size line shows.
Error cut_body_error(uint64_t downloaded, uint64_t total, const std::optional<Error>& lost) {
  const std::string counts =
      " after " + std::to_string(downloaded) + " of " + std::to_string(total) + " bytes";
  if (lost) {
    return Error::kind(ErrorKind::UnexpectedEof,
                       "connection lost" + counts + ": " + error_text(*lost));
  }
  return Error::kind(ErrorKind::UnexpectedEof, "connection closed" + counts);
}

struct HeadOutcome {
  uint64_t total_length = 0;
  bool resume = false;
};

// Runs the handler of one recognised header line.
Task<Result<void>> handle_header(const HeaderLine& line, const DownloadRequest& request,
                                 const std::string& stored_etag, HeadOutcome& outcome,
                                 uint64_t& remote_crc) {
  switch (line.name) {
    case HeaderName::ContentLength: {
      auto length = parse_u64(line.value);
      if (!length) co_return length.take_error();
      outcome.total_length = *length;
      print("响应头中的 Content-Length: " + std::to_string(*length) + " 字节");
      co_return success();
    }
    case HeaderName::Crc64: {
      auto crc = parse_u64(line.value);
      if (!crc) co_return crc.take_error();
      remote_crc = *crc;
      print("CRC64 : " + std::to_string(*crc));
      co_return success();
    }
    case HeaderName::ETag: {
      const std::string_view tag = line.value;
      if (!tag.empty() && tag == stored_etag) {
        print("ETag 匹配，继续下载文件");
        outcome.resume = true;
        co_return success();
      }
      print("ETag 不匹配，重新下载文件");
      outcome.resume = false;
      // The download file is emptied before the new tag is recorded: a crash between the two
      // must never leave the old version's bytes under the new tag, to be resumed and then fail
      // the checksum. A download file that cannot be emptied keeps the old tag; opening it for
      // the GET then reports the failure.
      auto emptied = co_await run_blocking([&] {
        auto file = File::create_truncate(request.file_path);
        if (!file) return Result<void>(file.take_error());
        return file->close();
      });
      if (!emptied) co_return success();
      const std::string& path = request.entity_tag_path;
      // A tag file that cannot be opened only costs the next run its resume.
      auto file = co_await run_blocking([&] { return File::create_truncate(path); });
      if (!file) co_return success();
      auto written = co_await run_blocking([&] {
        auto result = write_all(*file, as_bytes(tag));
        if (!result) return result;
        return file->flush();
      });
      if (!written) co_return written;
      print("新的 ETag: " + std::string(tag));
      // The tag is written and flushed; a failing close cannot take it back.
      auto closed = co_await run_blocking([&] { return file->close(); });
      (void)closed;
      co_return success();
    }
  }
  co_return success();
}

}  // namespace

uint8_t download_percent(uint64_t downloaded, uint64_t total) {
  if (total == 0) return 0;
  if (downloaded >= total) return 100;
  return static_cast<uint8_t>(static_cast<unsigned __int128>(downloaded) * 100 / total);
}

Task<Result<void>> download_file(const Connector& connector, const DownloadRequest& request,
                                 uint64_t& remote_crc, AttemptOutcome& attempt,
                                 std::shared_ptr<DownloadStatus> status) {
  std::string refused;  // a reply refused for its status, read for Retry-After
  auto url = parse_download_url(request.url);
  if (!url) co_return url.take_error();

  bool found = false;
  auto stored =
      co_await run_blocking([&] { return read_entity_tag(request.entity_tag_path, found); });
  if (!stored) co_return stored.take_error();
  const std::string stored_etag = std::move(*stored);
  if (found) print("ETag: " + stored_etag);

  HeadOutcome outcome;
  {
    auto connection = co_await open_connection(connector, url->host, url->port);
    if (!connection) co_return connection.take_error();
    auto sent = co_await send_request(*connection, format_head_request(url->path, url->host));
    if (!sent) co_return sent;
    auto reply = co_await read_head_reply(*connection, &refused);
    if (!reply) {
      attempt.retry_after = retry_after_of(refused, std::time(nullptr));
      co_return reply.take_error();
    }
    for (const HeaderLine& line : recognised_header_lines(*reply)) {
      if (line.name == HeaderName::ETag) attempt.announced_etag = std::string(line.value);
      auto handled = co_await handle_header(line, request, stored_etag, outcome, remote_crc);
      if (!handled) co_return handled;
    }
    attempt.announced = true;
    attempt.announced_crc = remote_crc;
    auto closed = co_await connection->close();
    if (!closed) co_return closed;
  }

  const std::string& path = request.file_path;
  auto file = co_await run_blocking(
      [&] { return outcome.resume ? File::create_append(path) : File::create_truncate(path); });
  if (!file) co_return file.take_error();
  auto size = co_await run_blocking([&] { return file->size(); });
  if (!size) co_return size.take_error();
  const uint64_t current_size = *size;
  print("当前文件大小: " + std::to_string(current_size) + " 字节");

  if (current_size == outcome.total_length && outcome.total_length != 0) {
    print("文件已下载完成，无需继续下载。");
    auto closed = co_await run_blocking([&] { return file->close(); });
    if (!closed) co_return closed;
    co_return success();
  }

  auto connection = co_await open_connection(connector, url->host, url->port);
  if (!connection) co_return connection.take_error();
  auto sent =
      co_await send_request(*connection, format_get_request(url->path, url->host, current_size));
  if (!sent) co_return sent;
  auto head = co_await read_get_head(*connection, &refused);
  if (!head) {
    attempt.retry_after = retry_after_of(refused, std::time(nullptr));
    // A connection lost before the reply's head (a reset that overtakes it) has written nothing:
    // what an earlier attempt left is kept for the next one to resume.
    if (current_size != 0 && head.error().is_os()) attempt.cut_mid_body = true;
    co_return head;
  }

  // With a length announced, the body must reach it: one that ends short of it is a cut
  // connection, not a download, and bytes beyond it end the body unwritten. Without one, the end
  // of the stream ends the body and the checksum judges the file.
  const uint64_t total = outcome.total_length;
  std::vector<uint8_t> buffer(READ_BUFFER_BYTES, 0);
  uint64_t downloaded = current_size;
  std::optional<Error> lost;  // the read failure that ended the body
  for (;;) {
    auto read = co_await connection->read(buffer);
    if (!read) lost = read.take_error();
    size_t n = read ? *read : 0;
    const uint64_t room = total - std::min(downloaded, total);
    const bool overlong = total != 0 && n > room;
    if (overlong) n = static_cast<size_t>(room);
    downloaded += n;
    status->publish_percent(download_percent(downloaded, total));
    if (n == 0) break;
    // Written here rather than on the blocking pool: an 8 KiB write into the file cache returns
    // in microseconds (and a write that extends a file is synchronous on Windows even when issued
    // overlapped), while handing it to a pool thread and back costs two thread wake-ups per chunk,
    // which under Wine halved the download rate. The calls that can wait on the disk or a virus
    // scanner for long (open, flush, close) stay on the pool.
    auto written = write_all(*file, std::span<const uint8_t>(buffer.data(), n));
    if (!written) co_return written;
    if (overlong) break;
  }

  if (total != 0 && downloaded < total) {
    // Every byte that arrived goes to the disk, and the dead connection is dropped unclosed: the
    // next attempt resumes from the file.
    auto kept = co_await run_blocking([&] {
      auto result = file->flush();
      if (!result) return result;
      return file->close();
    });
    if (!kept) co_return kept;
    attempt.cut_mid_body = true;
    co_return cut_body_error(downloaded, total, lost);
  }

  auto flushed = co_await run_blocking([&] {
    auto result = file->flush();
    if (!result) return result;
    return file->close();
  });
  if (!flushed) co_return flushed;
  auto closed = co_await connection->close();
  if (!closed) co_return closed;
  print("下载完成！");
  co_return success();
}

}  // namespace quorvel
