// Where the bytes of a GET body go as they arrive: nothing keeps a copy. Each consumer is a sink;
// a FanOut hands every piece to several.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "download/crc64.h"
#include "runtime/error.h"

namespace quorvel::check {

class BodySink {
 public:
  virtual ~BodySink() = default;
  virtual void take(std::span<const uint8_t> piece) = 0;
};

class FanOut : public BodySink {
 public:
  explicit FanOut(std::vector<BodySink*> sinks) : sinks_(std::move(sinks)) {}
  void take(std::span<const uint8_t> piece) override {
    for (BodySink* sink : sinks_) sink->take(piece);
  }

 private:
  std::vector<BodySink*> sinks_;
};

// Length and CRC-64/XZ of the bytes taken. It keeps the checksum's running state at chosen
// offsets, so a later ranged body from such an offset can be checked against this one: fed on
// from that state, it must end at the same checksum.
class ChecksumSink : public BodySink {
 public:
  ChecksumSink() = default;
  // Continues a body that started `offset` bytes into the file, with the state kept there.
  ChecksumSink(uint64_t offset, uint64_t state) : size_(offset), state_(state) {}

  void keep_state_at(uint64_t offset);
  void take(std::span<const uint8_t> piece) override;

  uint64_t size() const { return size_; }
  uint64_t crc() const { return crc64_xz_finish(state_); }
  std::optional<uint64_t> state_at(uint64_t offset) const;
  // The largest offset with a kept state that is at most `limit`.
  std::optional<uint64_t> kept_offset_up_to(uint64_t limit) const;

 private:
  uint64_t size_ = 0;
  uint64_t state_ = CRC64_XZ_INIT;
  std::vector<uint64_t> wanted_;                     // ascending
  std::vector<std::pair<uint64_t, uint64_t>> kept_;  // offset, state
};

// Compares the bytes taken with the publisher's copy, block by block as they arrive.
struct LocalCopyFacts {
  std::optional<uint64_t> first_difference;  // the offset of the first byte that differs
  std::optional<uint64_t> local_ends_at;     // the local copy is shorter: its length
  bool local_longer = false;                 // the local copy goes on past the served bytes
  std::optional<Error> read_error;
};

class LocalCopySink : public BodySink {
 public:
  static Result<std::unique_ptr<LocalCopySink>> open(const std::string& path);
  void take(std::span<const uint8_t> piece) override;
  // After the last piece: whether the local copy goes on.
  LocalCopyFacts finish();

 private:
  struct Close {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  explicit LocalCopySink(std::FILE* file) : file_(file) {}

  std::unique_ptr<std::FILE, Close> file_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> block_;
  LocalCopyFacts facts_;
  bool settled_ = false;  // a difference or the local end was found
};

// Keeps the body in an unnamed temporary file, for a tool that reads it by path.
class FileCopySink : public BodySink {
 public:
  static Result<std::unique_ptr<FileCopySink>> make();
  // Over a file opened for writing (a test's /dev/full).
  explicit FileCopySink(std::FILE* file) : file_(file) {}
  void take(std::span<const uint8_t> piece) override;
  // After the last piece: the copy's path while this sink lives, or why it is not whole (a full
  // disk).
  Result<std::string> finish();

 private:
  struct Close {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::unique_ptr<std::FILE, Close> file_;
  std::optional<Error> write_error_;
};

// A line on a terminal that follows the body.
class ProgressSink : public BodySink {
 public:
  ProgressSink(std::FILE* terminal, std::optional<uint64_t> total)
      : out_(terminal), total_(total) {}
  ~ProgressSink() override;
  void take(std::span<const uint8_t> piece) override;

 private:
  std::FILE* out_;
  std::optional<uint64_t> total_;
  uint64_t done_ = 0, shown_ = 0;
};

}  // namespace quorvel::check
