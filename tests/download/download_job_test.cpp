#include "download/download_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "download_test_support.h"
#include "support/captured_lines.h"
#include "support/fake_server.h"

namespace quorvel::test {
namespace {

using Out = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr const char* URL = "https://dl.example.test/Download/Micro/QuorvelLauncher.exe";
const std::string DIGITS = "123456789";
const std::string DIGITS_CRC = "11051210869376104954";

std::string head_reply(const std::string& headers) {
  return "HTTP/1.1 200 OK\r\n" + headers + "\r\n";
}

FakeReply get_reply(const std::string& body) {
  return FakeReply("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
}

std::string pattern(uint64_t from, uint64_t to) {
  std::string bytes;
  for (uint64_t i = from; i < to; ++i) bytes.push_back(static_cast<char>(pattern_byte(i)));
  return bytes;
}

class DownloadJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_download_job_setup({URL, server.connector(), [this]() -> Result<DownloadPaths> {
                              return DownloadPaths{file, tag_file};
                            }});
  }
  void TearDown() override { set_download_job_setup(default_download_job_setup()); }

  void run_job() { block_on(run_download_job(status)); }
  Phase phase() {
    std::lock_guard lock(status->mutex);
    return status->phase;
  }

  ScratchDir dir;
  std::string file = dir.file("QuorvelLauncher.bin");
  std::string tag_file = dir.file("QuorvelLauncher.bin.etag");
  FakeServer server;
  CapturedLines captured;
  std::shared_ptr<DownloadStatus> status = std::make_shared<DownloadStatus>();
};

TEST(VerifyFileCrc, ChecksTheWholeFile) {
  ScratchDir dir;
  const std::string digits = dir.file("digits");
  write_file(digits, "123456789");
  EXPECT_TRUE(verify_file_crc(digits, 11051210869376104954ull));
  EXPECT_FALSE(verify_file_crc(digits, 1));
  const std::string empty = dir.file("empty");
  write_file(empty, "");
  EXPECT_TRUE(verify_file_crc(empty, 0));
  EXPECT_FALSE(verify_file_crc(empty, 1));
  EXPECT_FALSE(verify_file_crc(dir.file("missing"), 0));
  const std::string big = dir.file("big");
  const std::string bytes = payload(3 * 65536 + 17);  // grows the buffer several times
  write_file(big, bytes);
  EXPECT_TRUE(verify_file_crc(big, crc_of(bytes)));
  EXPECT_FALSE(verify_file_crc(big, crc_of(bytes) ^ 1));
}

TEST_F(DownloadJobTest, MatchingChecksumPublishesDownloaded) {
  server.add(FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: " + DIGITS_CRC +
                                  "\r\nETag: \"d\"\r\n")));
  server.add(get_reply(DIGITS));
  // The outcome line is printed before the phase changes.
  std::vector<Phase> phase_at_line;
  {
    OutputSinkSwap sink([&](OutputStream, std::string_view) { phase_at_line.push_back(phase()); });
    run_job();
  }
  EXPECT_EQ(phase(), Phase::Downloaded);
  EXPECT_EQ(status->percent, 100);
  ASSERT_FALSE(phase_at_line.empty());
  EXPECT_EQ(phase_at_line.back(), Phase::Downloading);
  EXPECT_EQ(read_file(file), DIGITS);
}

TEST_F(DownloadJobTest, SuccessLinesInOrder) {
  server.add(FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: " + DIGITS_CRC +
                                  "\r\nETag: \"d\"\r\n")));
  server.add(get_reply(DIGITS));
  run_job();
  EXPECT_EQ(captured.on(OutputStream::Out),
            (Out{"响应头中的 Content-Length: 9 字节", "CRC64 : " + DIGITS_CRC,
                 "ETag 不匹配，重新下载文件", "新的 ETag: \"d\"", "当前文件大小: 0 字节",
                 "下载完成！", "下载成功"}));
  EXPECT_TRUE(captured.on(OutputStream::Err).empty());
}

TEST_F(DownloadJobTest, WrongChecksumPublishesMismatch) {
  server.add(FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: 1\r\n")));
  server.add(get_reply(DIGITS));
  run_job();
  EXPECT_EQ(phase(), Phase::CrcMismatch);
  EXPECT_EQ(captured.on(OutputStream::Err), (Out{"下载文件CRC检查失败: 远端CRC : 1"}));
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "下载完成！");
  EXPECT_EQ(read_file(file), DIGITS);  // the job deletes nothing itself
}

TEST_F(DownloadJobTest, WithPublishersAWrongSignatureFailsTheJobAfterTheChecksum) {
  static constexpr std::string_view NAMES[] = {"Example Games Ltd"};
  server.add(FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: " + DIGITS_CRC +
                                  "\r\nETag: \"d\"\r\n")));
  server.add(get_reply(DIGITS));
  // The finished download is read by the check itself: not a PE file, so the system is not asked.
  bool asked = false;
  SignatureInspector inspector{
      [&](std::vector<uint8_t>, const PeSignature&) -> Result<SignerFacts> {
        asked = true;
        return SignerFacts{"Example Games Ltd", ChainVerdict::Trusted, false, true};
      },
      [&](const std::string&) {
        asked = true;
        return 0;
      }};
  set_download_job_setup({URL, server.connector(),
                          [this]() -> Result<DownloadPaths> {
                            return DownloadPaths{file, tag_file};
                          },
                          NAMES, inspector});
  run_job();
  EXPECT_FALSE(asked);
  EXPECT_EQ(phase(), Phase::Failed);
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "下载完成！");
  EXPECT_EQ(captured.on(OutputStream::Err),
            Out{"启动器签名检查失败 / launcher signature check failed: no signature"});
}

TEST_F(DownloadJobTest, InvalidUrlPublishesFailed) {
  set_download_job_setup({"no-separator", server.connector(), [this]() -> Result<DownloadPaths> {
                            return DownloadPaths{file, tag_file};
                          }});
  status->percent = 42;
  run_job();
  EXPECT_EQ(phase(), Phase::Failed);
  EXPECT_EQ(status->percent, 42);  // the final phase leaves the percent alone
  EXPECT_EQ(
      captured.lines(),
      (std::vector<CapturedLines::Line>{{OutputStream::Err, "下载失败: Invalid URL format"}}));
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(DownloadJobTest, TempFolderThatCannotBeNamedFailsTheJob) {
  set_download_job_setup({URL, server.connector(), []() -> Result<DownloadPaths> {
                            return Error::kind(ErrorKind::InvalidData, "not UTF-8");
                          }});
  run_job();
  EXPECT_EQ(phase(), Phase::Failed);
  EXPECT_EQ(captured.on(OutputStream::Err), (Out{"下载失败: not UTF-8"}));
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(DownloadJobTest, FileDeletedBeforeTheCheckIsAMismatch) {
  server.add(
      FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: " + DIGITS_CRC + "\r\n")));
  FakeReply get = get_reply(DIGITS);
  get.on_close = [this] { std::filesystem::remove(file); };
  server.add(get);
  run_job();
  EXPECT_EQ(phase(), Phase::CrcMismatch);
  EXPECT_EQ(captured.on(OutputStream::Err), (Out{"下载文件CRC检查失败: 远端CRC : " + DIGITS_CRC}));
}

TEST_F(DownloadJobTest, MissingChecksumHeaderPassesOnlyAnEmptyFile) {
  server.add(FakeReply(head_reply("Content-Length: 0\r\n")));
  server.add(get_reply(""));
  run_job();
  EXPECT_EQ(phase(), Phase::Downloaded);
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "下载成功");
}

TEST_F(DownloadJobTest, StaleCompleteFileWithNewChecksumIsAMismatch) {
  write_file(file, DIGITS);
  write_file(tag_file, "\"d\"");
  server.add(
      FakeReply(head_reply("Content-Length: 9\r\nx-oss-hash-crc64ecma: 12345\r\nETag: \"d\"\r\n")));
  run_job();
  EXPECT_EQ(server.connections(), 1u);  // complete: no GET, but still checked
  EXPECT_EQ(phase(), Phase::CrcMismatch);
  EXPECT_EQ(captured.on(OutputStream::Out).back(), "文件已下载完成，无需继续下载。");
  EXPECT_EQ(captured.on(OutputStream::Err), (Out{"下载文件CRC检查失败: 远端CRC : 12345"}));
}

TEST_F(DownloadJobTest, DeleteDownloadFilesReportsEachMissingFile) {
  delete_download_files();
  const std::string not_found = error_text(Error::os(2));
  EXPECT_EQ(captured.lines(), (std::vector<CapturedLines::Line>{
                                  {OutputStream::Err, "删除文件失败: " + not_found},
                                  {OutputStream::Err, "删除ETag文件失败: " + not_found}}));
}

TEST_F(DownloadJobTest, DeleteDownloadFilesDeletesBoth) {
  write_file(file, "partial");
  write_file(tag_file, "\"t\"");
  delete_download_files();
  EXPECT_TRUE(captured.lines().empty());
  EXPECT_FALSE(read_file(file).has_value());
  EXPECT_FALSE(read_file(tag_file).has_value());
}

TEST_F(DownloadJobTest, DeleteGoesOnToTheTagFileAfterAFailure) {
  write_file(tag_file, "\"t\"");
  delete_download_files();
  EXPECT_EQ(captured.on(OutputStream::Err), (Out{"删除文件失败: " + error_text(Error::os(2))}));
  EXPECT_FALSE(read_file(tag_file).has_value());
}

// A second start during the body cancels the first job; the file keeps what was written and the
// new job resumes from it.
TEST_F(DownloadJobTest, SecondStartCancelsTheRunningJobAndResumes) {
  const uint64_t LENGTH = uint64_t{1} << 40;  // never reached by the endless first body
  server.add(
      FakeReply(head_reply("Content-Length: " + std::to_string(LENGTH) + "\r\nETag: \"v1\"\r\n")));
  FakeReply endless("HTTP/1.1 200 OK\r\n\r\n");
  endless.endless = true;
  server.add(endless);
  std::atomic<uint64_t> size_at_second_head{0};
  server.add([&](const std::string&) {
    std::error_code ignored;
    const uint64_t size = std::filesystem::file_size(file, ignored);
    size_at_second_head = size;
    const std::string whole = pattern(0, size + 5000);
    return FakeReply(head_reply("Content-Length: " + std::to_string(size + 5000) +
                                "\r\nx-oss-hash-crc64ecma: " + std::to_string(crc_of(whole)) +
                                "\r\nETag: \"v1\"\r\n"));
  });
  server.add([&](const std::string&) {
    const uint64_t from = size_at_second_head;
    return FakeReply("HTTP/1.1 206 Partial Content\r\n\r\n" + pattern(from, from + 5000));
  });

  start_download_job(status);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    std::error_code missing;
    const uint64_t size = std::filesystem::file_size(file, missing);
    if (!missing && size >= 3 * 8192) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "first job made no progress";
    std::this_thread::sleep_for(1ms);
  }
  start_download_job(status);
  // The first job's frame is gone: its GET connection was dropped without a close.
  EXPECT_TRUE(server.dropped(1));
  EXPECT_FALSE(server.closed(1));

  while (phase() == Phase::Downloading) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "second job did not finish";
    std::this_thread::sleep_for(1ms);
  }
  const uint64_t resumed_at = size_at_second_head;
  EXPECT_GE(resumed_at, 3u * 8192);
  EXPECT_EQ(phase(), Phase::Downloaded);
  ASSERT_EQ(server.connections(), 4u);
  EXPECT_EQ(server.request(3),
            "GET /Download/Micro/QuorvelLauncher.exe HTTP/1.1\r\nHost: dl.example.test\r\n"
            "Connection: close\r\nRange: bytes=" +
                std::to_string(resumed_at) + "-\r\n\r\n");
  EXPECT_EQ(read_file(file), pattern(0, resumed_at + 5000));
  const Out out = captured.on(OutputStream::Out);
  EXPECT_EQ(std::count(out.begin(), out.end(), "下载完成！"), 1);
  EXPECT_EQ(out.back(), "下载成功");
  EXPECT_NE(
      std::find(out.begin(), out.end(), "当前文件大小: " + std::to_string(resumed_at) + " 字节"),
      out.end());
}

TEST_F(DownloadJobTest, StartAfterAFinishedJobStartsAnother) {
  server.add(FakeReply(head_reply("Content-Length: 0\r\n")));
  server.add(get_reply(""));
  server.add(FakeReply(head_reply("Content-Length: 0\r\n")));
  server.add(get_reply(""));
  start_download_job(status);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (phase() == Phase::Downloading) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(1ms);
  }
  {
    std::lock_guard lock(status->mutex);
    status->phase = Phase::Downloading;
  }
  start_download_job(status);
  while (phase() == Phase::Downloading) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(phase(), Phase::Downloaded);
  EXPECT_EQ(server.connections(), 4u);
  const Out out = captured.on(OutputStream::Out);
  EXPECT_EQ(std::count(out.begin(), out.end(), "下载成功"), 2);
}

}  // namespace
}  // namespace quorvel::test
