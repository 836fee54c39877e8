#include "download/buffered_stream.h"

#include <gtest/gtest.h>

#include "support/fake_server.h"

namespace quorvel::test {
namespace {

BufferedStream connect(FakeServer& server) {
  auto stream = block_on(server.connector()("h", 1));
  EXPECT_TRUE(stream.ok());
  return BufferedStream(std::move(*stream));
}

Task<std::vector<size_t>> read_sizes(BufferedStream& stream, std::vector<size_t> asks) {
  std::vector<size_t> got;
  for (size_t ask : asks) {
    std::vector<uint8_t> buffer(ask);
    auto n = co_await stream.read(buffer);
    got.push_back(n.ok() ? *n : SIZE_MAX);
  }
  co_return got;
}

TEST(BufferedStream, LargeReadBypassesAnEmptyBuffer) {
  FakeServer server;
  server.add(FakeReply(std::string(30000, 'x')));
  BufferedStream stream = connect(server);
  // 10000 straight from the stream; 10 fills the buffer with 8192 and hands out 10; the next large
  // read drains the buffer first; then large reads go straight again.
  EXPECT_EQ(block_on(read_sizes(stream, {10000, 10, 10000, 10000, 10000, 10000})),
            (std::vector<size_t>{10000, 10, 8182, 10000, 1808, 0}));
}

TEST(BufferedStream, SmallReadsAreServedFromOneFill) {
  FakeServer server;
  server.add(FakeReply("abcdefgh"));
  size_t reads = 0;
  server.on_read([&](size_t) { ++reads; });
  BufferedStream stream = connect(server);
  EXPECT_EQ(block_on(read_sizes(stream, {3, 3, 3, 3})), (std::vector<size_t>{3, 3, 2, 0}));
  EXPECT_EQ(reads, 2u);  // one fill, one end of stream
}

Task<Result<size_t>> line_of(BufferedStream& stream, std::string& line, size_t max) {
  co_return co_await stream.read_line(line, max, "too long");
}

TEST(BufferedStream, ReadLineAcrossSmallReads) {
  FakeServer server;
  server.add(FakeReply("first line\r\nsecond\nrest", 3));
  BufferedStream stream = connect(server);
  std::string line;
  EXPECT_EQ(*block_on(line_of(stream, line, 100)), 12u);
  EXPECT_EQ(line, "first line\r\n");
  line.clear();
  EXPECT_EQ(*block_on(line_of(stream, line, 100)), 7u);
  EXPECT_EQ(line, "second\n");
  line.clear();
  EXPECT_EQ(*block_on(line_of(stream, line, 100)), 4u);
  EXPECT_EQ(line, "rest");
  line.clear();
  EXPECT_EQ(*block_on(line_of(stream, line, 100)), 0u);
  EXPECT_EQ(line, "");
}

TEST(BufferedStream, ReadLineStopsAtItsLimit) {
  FakeServer server;
  server.add(FakeReply(std::string(50, 'a') + "\n", 8));
  BufferedStream stream = connect(server);
  std::string line;
  auto n = block_on(line_of(stream, line, 50));
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(error_text(n.error()), "too long");
  FakeServer exact;
  exact.add(FakeReply(std::string(49, 'a') + "\n", 8));
  BufferedStream fits = connect(exact);
  line.clear();
  EXPECT_EQ(*block_on(line_of(fits, line, 50)), 50u);
}

TEST(BufferedStream, ReadErrorsPassThrough) {
  FakeServer server;
  FakeReply reply("ab");
  reply.reset_at_end = true;
  server.add(reply);
  BufferedStream stream = connect(server);
  std::string line;
  auto n = block_on(line_of(stream, line, 100));
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().kind(), ErrorKind::ConnectionReset);
}

}  // namespace
}  // namespace quorvel::test
