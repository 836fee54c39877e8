#include "download/download_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

#include "download/http_exchange.h"
#include "download_test_support.h"
#include "support/fake_server.h"

#ifdef _WIN32
#include "support/system_call_swap.h"
#endif

namespace quorvel::test {
namespace {

using Out = std::vector<std::string>;

constexpr const char* URL = "https://dl.example.test/Download/Micro/QuorvelLauncher.exe";
const std::string HEAD_REQUEST =
    "HEAD /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\nHost: dl.example.test\r\n"
    "Connection: close\r\n\r\n";
const std::string GET_REQUEST =
    "GET /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\nHost: dl.example.test\r\n"
    "Connection: close\r\n\r\n";

std::string ranged_get(uint64_t start) {
  return "GET /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\nHost: dl.example.test\r\n"
         "Connection: close\r\nRange: bytes=" +
         std::to_string(start) + "-\r\n\r\n";
}

std::string head_reply(const std::string& headers) {
  return "HTTP/1.1 200 OK\r\nServer: nginx\r\n" + headers + "Accept-Ranges: bytes\r\n\r\n";
}

FakeReply get_reply(const std::string& status, const std::string& body, size_t chunk = 0) {
  FakeReply reply;
  reply.bytes = status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
  reply.chunk = chunk;
  return reply;
}

class DownloadFileTest : public ::testing::Test {
 protected:
  Result<void> run() {
    DownloadRequest request{url, file, tag_file};
    return block_on(download_file(server.connector(), request, remote_crc, attempt, status));
  }
  std::optional<std::string> bin() const { return read_file(file); }
  std::optional<std::string> tag() const { return read_file(tag_file); }

  ScratchDir dir;
  std::string url = URL;
  std::string file = dir.file("QuorvelLauncher.bin");
  std::string tag_file = dir.file("QuorvelLauncher.bin.etag");
  FakeServer server;
  CapturedLines captured;
  uint64_t remote_crc = 0;
  AttemptOutcome attempt;
  std::shared_ptr<DownloadStatus> status = std::make_shared<DownloadStatus>();
  const std::string data = payload(1000);
  const std::string crc_text = std::to_string(crc_of(data));
};

TEST_F(DownloadFileTest, FirstRun) {
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nx-oss-hash-crc64ecma: " + crc_text +
                                  "\r\nETag: \"65a1-3e8\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data, 333));
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());

  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"响应头中的 Content-Length: 1000 字节", "CRC64 : " + crc_text,
                 "ETag 不匹配，重新下载文件", "新的 ETag: \"65a1-3e8\"", "当前文件大小: 0 字节",
                 "下载完成！"}));
  EXPECT_TRUE(captured.on(OutputStream::Err).empty());
  ASSERT_EQ(server.connections(), 2u);
  EXPECT_EQ(server.host(0), "dl.example.test");
  EXPECT_EQ(server.port(0), 443);
  EXPECT_EQ(server.request(0), HEAD_REQUEST);
  EXPECT_EQ(server.request(1), GET_REQUEST);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(server.flushed(i));
    EXPECT_TRUE(server.closed(i));
    EXPECT_TRUE(server.dropped(i));
  }
  EXPECT_EQ(bin(), data);
  EXPECT_EQ(tag(), "\"65a1-3e8\"");
  EXPECT_EQ(remote_crc, crc_of(data));
  EXPECT_EQ(status->copy().phase, Phase::Downloading);
  EXPECT_EQ(status->copy().percent, 100);
}

TEST_F(DownloadFileTest, ResumesAt400WithSameTag) {
  write_file(file, data.substr(0, 400));
  write_file(tag_file, "\"65a1-3e8\"");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nx-oss-hash-crc64ecma: " + crc_text +
                                  "\r\nETag: \"65a1-3e8\"\r\n")});
  server.add(get_reply("HTTP/1.1 206 Partial Content", data.substr(400), 100));
  status->publish_percent(255);  // marks "not yet published"
  std::vector<int> seen;         // the percent as each read of the GET connection begins
  server.on_read([&](size_t connection) {
    if (connection == 1) seen.push_back(status->copy().percent);
  });
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());

  EXPECT_EQ(
      captured.on(OutputStream::Out),
      (Out{"ETag: \"65a1-3e8\"", "响应头中的 Content-Length: 1000 字节", "CRC64 : " + crc_text,
           "ETag 匹配，继续下载文件", "当前文件大小: 400 字节", "下载完成！"}));
  ASSERT_EQ(server.connections(), 2u);
  EXPECT_EQ(server.request(1), ranged_get(400));
  EXPECT_EQ(bin(), data);
  EXPECT_EQ(tag(), "\"65a1-3e8\"");
  auto first = std::find_if(seen.begin(), seen.end(), [](int p) { return p != 255; });
  ASSERT_NE(first, seen.end());
  EXPECT_GE(*first, 40);
  EXPECT_TRUE(std::is_sorted(first, seen.end()));
  EXPECT_EQ(status->copy().percent, 100);
}

TEST_F(DownloadFileTest, CompleteFileSendsNoGet) {
  write_file(file, data);
  write_file(tag_file, "W/\"v1\"");
  server.add(FakeReply{head_reply("ETag: W/\"v1\"\r\nContent-Length: 1000\r\n")});
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(
      captured.on(OutputStream::Out),
      (Out{"ETag: W/\"v1\"", "ETag 匹配，继续下载文件", "响应头中的 Content-Length: 1000 字节",
           "当前文件大小: 1000 字节", "文件已下载完成，无需继续下载。"}));
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(bin(), data);
  EXPECT_EQ(remote_crc, 0u);             // no checksum header
  EXPECT_EQ(status->copy().percent, 0);  // nothing published
}

TEST_F(DownloadFileTest, SameTagButFileDeletedStartsEmpty) {
  write_file(tag_file, "\"v1\"");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"v1\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"ETag: \"v1\"", "响应头中的 Content-Length: 1000 字节", "ETag 匹配，继续下载文件",
                 "当前文件大小: 0 字节", "下载完成！"}));
  EXPECT_EQ(server.request(1), GET_REQUEST);
  EXPECT_EQ(bin(), data);
}

TEST_F(DownloadFileTest, EmptyTagIsAMismatchAndRewritesTheTagFile) {
  write_file(file, data.substr(0, 300));
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag:  \r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"响应头中的 Content-Length: 1000 字节", "ETag 不匹配，重新下载文件",
                 "新的 ETag: ", "当前文件大小: 0 字节", "下载完成！"}));
  EXPECT_EQ(server.request(1), GET_REQUEST);
  EXPECT_EQ(tag(), "");
  EXPECT_EQ(bin(), data);
}

TEST_F(DownloadFileTest, EmptyStoredTagIsPrintedAndStillMismatches) {
  write_file(tag_file, "");
  server.add(FakeReply{head_reply("ETag:\r\nContent-Length: 1000\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"ETag: ", "ETag 不匹配，重新下载文件", "新的 ETag: ",
                 "响应头中的 Content-Length: 1000 字节", "当前文件大小: 0 字节", "下载完成！"}));
}

TEST_F(DownloadFileTest, NoTagLineTruncatesAndKeepsTheTagFile) {
  write_file(file, data.substr(0, 400));
  write_file(tag_file, "\"old\"");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nx-oss-hash-crc64ecma: 7\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  auto result = run();
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"ETag: \"old\"", "响应头中的 Content-Length: 1000 字节", "CRC64 : 7",
                 "当前文件大小: 0 字节", "下载完成！"}));
  EXPECT_EQ(server.request(1), GET_REQUEST);
  EXPECT_EQ(tag(), "\"old\"");
  EXPECT_EQ(bin(), data);
  EXPECT_EQ(remote_crc, 7u);
}

TEST_F(DownloadFileTest, FileLongerThanLengthGets416) {
  const std::string longer = payload(1200);
  write_file(file, longer);
  write_file(tag_file, "\"v1\"");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"v1\"\r\n")});
  server.add(FakeReply{
      "HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Range: bytes */1000\r\n\r\n"});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()),
            "HTTP 请求失败，响应: HTTP/1.1 416 Requested Range Not Satisfiable");
  EXPECT_EQ(server.request(1), ranged_get(1200));
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "当前文件大小: 1200 字节");
  EXPECT_EQ(bin(), longer);
  EXPECT_TRUE(server.dropped(1));
}

TEST_F(DownloadFileTest, PercentNeverExceeds100AndNothingIsWrittenPastTheLength) {
  const std::string body = payload(3000);
  server.add(FakeReply{head_reply("Content-Length: 500\r\nETag: \"a\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", body, 250));
  std::vector<int> seen;
  server.on_read([&](size_t connection) {
    if (connection == 1) seen.push_back(status->copy().percent);
  });
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(bin(), body.substr(0, 500));
  ASSERT_FALSE(seen.empty());
  for (int p : seen) EXPECT_LE(p, 100);
  EXPECT_EQ(status->copy().percent, 100);
}

TEST_F(DownloadFileTest, UnknownLengthPublishesZero) {
  server.add(FakeReply{head_reply("ETag: \"a\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data, 100));
  std::vector<int> seen;
  server.on_read([&](size_t connection) {
    if (connection == 1) seen.push_back(status->copy().percent);
  });
  status->publish_percent(77);
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(bin(), data);
  EXPECT_EQ(status->copy().percent, 0);
  // Until the first body read the old value stands; from then on every read has published 0.
  const auto first_zero = std::find(seen.begin(), seen.end(), 0);
  EXPECT_TRUE(std::all_of(seen.begin(), first_zero, [](int p) { return p == 77; }));
  EXPECT_TRUE(std::all_of(first_zero, seen.end(), [](int p) { return p == 0; }));
  EXPECT_GE(seen.end() - first_zero, 5);  // a thousand bytes in reads of at most a hundred
  EXPECT_EQ(download_percent(5, 0), 0);
  EXPECT_EQ(download_percent(999, 1000), 99);
  EXPECT_EQ(download_percent(UINT64_MAX - 1, UINT64_MAX), 99);
  EXPECT_EQ(download_percent(UINT64_MAX, 1), 100);
}

// A body that ends short of the announced length is a failure with both counts; what arrived stays
// on disk, the tag file keeps its tag, and the dead connection is dropped without a close.
TEST_F(DownloadFileTest, BodyCutShortOfTheLengthFailsAndKeepsWhatArrived) {
  struct Case {
    size_t stored;  // bytes on disk from an earlier attempt, with the same tag
    std::string reply;
    bool reset;  // the connection is reset after the reply rather than ended
    size_t kept;
    std::string error;
  };
  const std::string head = "HTTP/1.1 206 Partial Content\r\n\r\n";
  const Case cases[] = {
      {0, head + data.substr(0, 300), false, 300, "connection closed after 300 of 1000 bytes"},
      {400, head + data.substr(400, 300), true, 700,
       "connection lost after 700 of 1000 bytes: connection reset"},
      {0, head, false, 0, "connection closed after 0 of 1000 bytes"},
      {0, "HTTP/1.1 200 OK\r\nContent-Le", false, 0, "connection closed after 0 of 1000 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    server = FakeServer();
    attempt = {};
    write_file(file, data.substr(0, c.stored));
    write_file(tag_file, "\"a\"");
    server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"a\"\r\n")});
    FakeReply reply(c.reply);
    reply.reset_at_end = c.reset;
    server.add(reply);
    auto result = run();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(error_text(result.error()), c.error);
    EXPECT_TRUE(attempt.cut_mid_body);
    EXPECT_EQ(bin(), data.substr(0, c.kept));
    EXPECT_EQ(tag(), "\"a\"");
    EXPECT_EQ(status->copy().percent, c.kept / 10);
    EXPECT_EQ(captured.on(OutputStream::Out).back(),
              "当前文件大小: " + std::to_string(c.stored) + " 字节");
    EXPECT_TRUE(server.dropped(1) && !server.closed(1));
  }
}

// A reset after the whole body ends it like its end; a close that then fails is an ordinary
// failure, reported without "下载完成！", and not a cut.
TEST_F(DownloadFileTest, FailedCloseAfterTheWholeBodyIsReportedWithoutDone) {
  FakeReply reply = get_reply("HTTP/1.1 200 OK", data);
  reply.reset_at_end = true;
  reply.close_error = Error::kind(ErrorKind::ConnectionAborted, "close_notify failed");
  // The body is on disk by the time the connection is closed.
  std::optional<std::string> at_close;
  reply.on_close = [&] { at_close = read_file(file); };
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"a\"\r\n")});
  server.add(reply);
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "close_notify failed");
  EXPECT_FALSE(attempt.cut_mid_body);
  EXPECT_EQ(at_close, data);
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "当前文件大小: 0 字节");
}

TEST_F(DownloadFileTest, FileIsClosedAndCompleteBeforeTheGetConnectionCloses) {
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"a\"\r\n")});
  FakeReply reply = get_reply("HTTP/1.1 200 OK", data, 128);
  std::optional<std::string> at_close;
  size_t lines_at_close = 0;
  reply.on_close = [&] {
    at_close = read_file(file);
    lines_at_close = captured.lines().size();
  };
  server.add(reply);
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(at_close, data);
  EXPECT_EQ(captured.lines().size(), lines_at_close + 1);  // only "下载完成！" came after
}

TEST_F(DownloadFileTest, StaleBytesAreEmptiedWhenTheNewTagIsRecordedBeforeTheHeadCloses) {
  write_file(file, "stale bytes");
  FakeReply head{head_reply("Content-Length: 1000\r\nETag: \"new\"\r\n")};
  std::optional<std::string> file_at_close, tag_at_close;
  head.on_close = [&] {
    file_at_close = read_file(file);
    tag_at_close = read_file(tag_file);
  };
  server.add(head);
  server.add(get_reply("HTTP/1.1 200 OK", data));
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(file_at_close, "");
  EXPECT_EQ(tag_at_close, "\"new\"");
  EXPECT_EQ(bin(), data);
}

TEST_F(DownloadFileTest, DuplicatedHeadersActedOnTwiceInOrder) {
  server.add(FakeReply{
      head_reply("Content-Length: 5\r\nETag: \"a\"\r\nContent-Length: 1000\r\nETag: \"b\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(
      captured.on(OutputStream::Out),
      (Out{"响应头中的 Content-Length: 5 字节", "ETag 不匹配，重新下载文件", "新的 ETag: \"a\"",
           "响应头中的 Content-Length: 1000 字节", "ETag 不匹配，重新下载文件", "新的 ETag: \"b\"",
           "当前文件大小: 0 字节", "下载完成！"}));
  EXPECT_EQ(tag(), "\"b\"");
  EXPECT_EQ(status->copy().percent, 100);
}

TEST_F(DownloadFileTest, OverflowingNumberStopsAtItsLine) {
  server.add(FakeReply{head_reply(
      "ETag: \"a\"\r\nx-oss-hash-crc64ecma: 18446744073709551616\r\nContent-Length: 1000\r\n")});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "number too large to fit in target type");
  EXPECT_EQ(captured.on(OutputStream::Out), (Out{"ETag 不匹配，重新下载文件", "新的 ETag: \"a\""}));
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(bin(), "");  // emptied for the new tag
}

TEST_F(DownloadFileTest, RedirectFailsWithTheWholeReply) {
  server.add(FakeReply{"HTTP/1.1 302 Found\r\nLocation: https://elsewhere.test/x\r\n\r\n"});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()),
            "HEAD 请求失败，响应: HTTP/1.1 302 Found\r\nLocation: https://elsewhere.test/x");
  EXPECT_TRUE(captured.lines().empty());
  EXPECT_EQ(server.connections(), 1u);
}

TEST_F(DownloadFileTest, InvalidUrlTouchesNothing) {
  url = "https://dl.example.test//x";
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "Invalid URL format");
  EXPECT_EQ(server.connections(), 0u);
  EXPECT_TRUE(captured.lines().empty());
}

TEST_F(DownloadFileTest, PortGoesToTheConnectorAndNotTheHostHeader) {
  url = "http://dl.example.test:8443/Download/Micro/QuorvelLauncher.exe";
  server.add(FakeReply{head_reply("Content-Length: 0\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", ""));
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(server.port(0), 8443);
  EXPECT_EQ(server.port(1), 8443);
  EXPECT_EQ(server.request(0), HEAD_REQUEST);
}

TEST_F(DownloadFileTest, StoredTagThatIsNotUtf8Fails) {
  write_file(tag_file, "\"\xFF\"");
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "stream did not contain valid UTF-8");
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(DownloadFileTest, TagFileThatCannotBeOpenedIsSkippedSilently) {
  tag_file = dir.file("missing-folder/QuorvelLauncher.bin.etag");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"a\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"响应头中的 Content-Length: 1000 字节", "ETag 不匹配，重新下载文件",
                 "当前文件大小: 0 字节", "下载完成！"}));
}

TEST_F(DownloadFileTest, DownloadFileThatCannotBeOpenedFailsAndKeepsTheStoredTag) {
  // A new tag is recorded only once the old bytes are gone: a download file that cannot be
  // emptied keeps the tag they belong to.
  file = dir.file("missing-folder/QuorvelLauncher.bin");
  write_file(tag_file, "\"old\"");
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"new\"\r\n")});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(server.closed(0));
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(tag(), "\"old\"");
  EXPECT_EQ(
      captured.on(OutputStream::Out),
      (Out{"ETag: \"old\"", "响应头中的 Content-Length: 1000 字节", "ETag 不匹配，重新下载文件"}));
}

TEST_F(DownloadFileTest, BareLineFeedDoesNotEndTheGetHead) {
  server.add(FakeReply{head_reply("Content-Length: 4\r\n")});
  server.add(FakeReply{"HTTP/1.1 200 OK\nX-A: 1\n\nX-B: 2\r\n\r\nbody"});
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(bin(), "body");
}

TEST_F(DownloadFileTest, GetStatusLineThatIsNotUtf8Fails) {
  server.add(FakeReply{head_reply("Content-Length: 4\r\n")});
  server.add(FakeReply{"HTTP/1.1 200 \xC3\r\n\r\nbody"});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "stream did not contain valid UTF-8");
}

TEST_F(DownloadFileTest, HugeHeadReplyIsRefused) {
  server.add(FakeReply{head_reply("X-Pad: " + std::string(70000, 'a') + "\r\n"), 4096});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), HEAD_REPLY_TOO_LONG_TEXT);
}

TEST_F(DownloadFileTest, HugeGetHeadLineIsRefused) {
  server.add(FakeReply{head_reply("Content-Length: 4\r\n")});
  server.add(FakeReply{"HTTP/1.1 200 OK\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\nbody"});
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), GET_HEAD_LINE_TOO_LONG_TEXT);
}

TEST_F(DownloadFileTest, WriteThatTakesNothingFails) {
  FakeReply reply{head_reply("")};
  reply.write_zero = true;
  server.add(reply);
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "write zero");
}

TEST_F(DownloadFileTest, ConnectFailureCarriesItsText) {
  FakeReply reply;
  reply.connect_error = Error::kind(ErrorKind::Other, "could not connect to any of the addresses");
  server.add(reply);
  auto result = run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "could not connect to any of the addresses");
}

#ifdef _WIN32
// CreateFileW as Windows documents it (Wine does not): CREATE_ALWAYS fails with access denied on an
// existing hidden or system file unless the call asks for those attributes too.
HANDLE WINAPI windows_create_file(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE model) {
  const DWORD existing = GetFileAttributesW(path);
  if (disposition == CREATE_ALWAYS && existing != INVALID_FILE_ATTRIBUTES &&
      (existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~flags) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, access, share, security, disposition, flags, model);
}

TEST_F(DownloadFileTest, HiddenAndSystemFilesAreStillRewritten) {
  write_file(file, data.substr(0, 400));
  write_file(tag_file, "\"old\"");
  for (const std::string& path : {file, tag_file}) {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  }
  server.add(FakeReply{head_reply("Content-Length: 1000\r\nETag: \"new\"\r\n")});
  server.add(get_reply("HTTP/1.1 200 OK", data));
  Result<void> result = success();
  {
    test::SystemCallSwap swap(&SystemCalls::create_file, &windows_create_file);
    result = run();
  }
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(tag(), "\"new\"");
  EXPECT_EQ(server.request(1), GET_REQUEST);
  EXPECT_EQ(bin(), data);
}
#endif

}  // namespace
}  // namespace quorvel::test
