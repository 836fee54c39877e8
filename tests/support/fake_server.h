// An in-memory stand-in for the download server: a Connector whose connections play scripted
// replies (one per connection, in order) and record every request byte, flush and close. A reply
// may be computed from the request, so a test can answer a Range it cannot know in advance.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/byte_stream.h"
#include "runtime/task.h"

namespace quorvel::test {

struct FakeReply {
  FakeReply() = default;
  explicit FakeReply(std::string bytes, size_t chunk = 0) : bytes(std::move(bytes)), chunk(chunk) {}

  std::string bytes;          // what the server sends
  size_t chunk = 0;           // most bytes one read returns; 0 = as many as asked
  bool reset_at_end = false;  // a read past the bytes fails instead of ending the stream
  bool endless = false;       // past the bytes, pattern bytes forever, each read pausing briefly
  bool write_zero = false;    // writes accept nothing
  std::optional<Error> connect_error;
  std::optional<Error> close_error;
  std::function<void()> on_close;  // runs when the client closes the connection
};

// The byte at offset i of the pattern served by endless replies.
inline uint8_t pattern_byte(uint64_t i) {
  return static_cast<uint8_t>((i * 31 + (i >> 9)) & 0xFF);
}

class FakeServer {
 public:
  using Responder = std::function<FakeReply(const std::string& request)>;

  void add(FakeReply reply) {
    add([reply](const std::string&) { return reply; });
  }
  void add(Responder responder) {
    std::lock_guard lock(state_->mutex);
    state_->script.push_back(std::move(responder));
  }

  Connector connector() {
    return [state = state_](std::string host, uint16_t port) { return connect(state, host, port); };
  }

  size_t connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.size();
  }
  std::string request(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).request;
  }
  std::string host(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).host;
  }
  uint16_t port(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).port;
  }
  bool flushed(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).flushed;
  }
  bool closed(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).closed;
  }
  bool dropped(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.at(i).dropped;
  }
  // Called on every read of the connection, before it is served (from the download's thread).
  void on_read(std::function<void(size_t connection)> hook) {
    std::lock_guard lock(state_->mutex);
    state_->read_hook = std::move(hook);
  }

 private:
  struct Connection {
    std::string host;
    uint16_t port = 0;
    std::string request;
    bool flushed = false;
    bool closed = false;
    bool dropped = false;
  };
  struct State {
    mutable std::mutex mutex;
    std::vector<Responder> script;
    std::vector<Connection> connections;
    std::function<void(size_t)> read_hook;
  };

  class Stream : public ByteStream {
   public:
    Stream(std::shared_ptr<State> state, size_t index, Responder responder)
        : state_(std::move(state)), index_(index), responder_(std::move(responder)) {}
    ~Stream() override {
      std::lock_guard lock(state_->mutex);
      state_->connections[index_].dropped = true;
    }

    Task<Result<size_t>> read(std::span<uint8_t> buffer) override {
      std::function<void(size_t)> hook;
      {
        std::lock_guard lock(state_->mutex);
        hook = state_->read_hook;
        if (!reply_) reply_ = responder_(state_->connections[index_].request);
      }
      if (hook) hook(index_);
      size_t n = buffer.size();
      if (reply_->chunk != 0) n = std::min(n, reply_->chunk);
      if (offset_ < reply_->bytes.size()) {
        n = std::min(n, reply_->bytes.size() - offset_);
        std::memcpy(buffer.data(), reply_->bytes.data() + offset_, n);
        offset_ += n;
        co_return n;
      }
      if (reply_->endless) {
        // Gives a canceller a real suspension point inside the body.
        co_await run_blocking([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
        for (size_t i = 0; i < n; ++i) buffer[i] = pattern_byte(pattern_offset_ + i);
        pattern_offset_ += n;
        co_return n;
      }
      if (reply_->reset_at_end) co_return Error::kind(ErrorKind::ConnectionReset);
      co_return size_t{0};
    }

    Task<Result<size_t>> write(std::span<const uint8_t> bytes) override {
      std::lock_guard lock(state_->mutex);
      if (peek_reply().write_zero) co_return size_t{0};
      // Takes at most 7 bytes at a time, so callers must loop.
      const size_t n = std::min<size_t>(bytes.size(), 7);
      state_->connections[index_].request.append(reinterpret_cast<const char*>(bytes.data()), n);
      co_return n;
    }

    Task<Result<void>> flush() override {
      std::lock_guard lock(state_->mutex);
      state_->connections[index_].flushed = true;
      co_return success();
    }

    Task<Result<void>> close() override {
      std::function<void()> hook;
      std::optional<Error> error;
      {
        std::lock_guard lock(state_->mutex);
        state_->connections[index_].closed = true;
        hook = peek_reply().on_close;
        error = peek_reply().close_error;
      }
      if (hook) hook();
      if (error) co_return *error;
      co_return success();
    }

   private:
    // The reply's settings before the request is complete; computed with what has arrived so far.
    const FakeReply& peek_reply() {
      if (!peeked_) peeked_ = responder_(state_->connections[index_].request);
      return reply_ ? *reply_ : *peeked_;
    }

    std::shared_ptr<State> state_;
    size_t index_;
    Responder responder_;
    std::optional<FakeReply> reply_;
    std::optional<FakeReply> peeked_;
    size_t offset_ = 0;
    uint64_t pattern_offset_ = 0;
  };

  static Task<Result<std::unique_ptr<ByteStream>>> connect(std::shared_ptr<State> state,
                                                           std::string host, uint16_t port) {
    Responder responder;
    size_t index;
    {
      std::lock_guard lock(state->mutex);
      index = state->connections.size();
      state->connections.emplace_back();
      state->connections.back().host = host;
      state->connections.back().port = port;
      if (index >= state->script.size()) co_return Error::kind(ErrorKind::ConnectionRefused);
      responder = state->script[index];
    }
    FakeReply first = responder("");
    if (first.connect_error) co_return *first.connect_error;
    co_return std::unique_ptr<ByteStream>(new Stream(state, index, std::move(responder)));
  }

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quorvel::test
