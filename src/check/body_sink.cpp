#include "check/body_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvel::check {

void ChecksumSink::keep_state_at(uint64_t offset) {
  if (offset < size_) return;
  wanted_.insert(std::upper_bound(wanted_.begin(), wanted_.end(), offset), offset);
}

void ChecksumSink::take(std::span<const uint8_t> piece) {
  while (!piece.empty()) {
    // Up to the next wanted offset inside this piece, or all of it.
    size_t take = piece.size();
    auto next =
        std::find_if(wanted_.begin(), wanted_.end(), [&](uint64_t o) { return o >= size_; });
    if (next != wanted_.end() && *next - size_ < take) take = static_cast<size_t>(*next - size_);
    if (next != wanted_.end() && *next == size_) {
      kept_.emplace_back(size_, state_);
      wanted_.erase(next);
      continue;
    }
    state_ = crc64_xz_update(state_, piece.first(take));
    size_ += take;
    piece = piece.subspan(take);
  }
  // A wanted offset right at the end of what has arrived.
  auto at_end = std::find(wanted_.begin(), wanted_.end(), size_);
  if (at_end != wanted_.end()) {
    kept_.emplace_back(size_, state_);
    wanted_.erase(at_end);
  }
}

std::optional<uint64_t> ChecksumSink::state_at(uint64_t offset) const {
  for (const auto& [at, state] : kept_) {
    if (at == offset) return state;
  }
  return std::nullopt;
}

std::optional<uint64_t> ChecksumSink::kept_offset_up_to(uint64_t limit) const {
  std::optional<uint64_t> best;
  for (const auto& kept : kept_) {
    if (kept.first <= limit && (!best || kept.first > *best)) best = kept.first;
  }
  return best;
}

Result<std::unique_ptr<LocalCopySink>> LocalCopySink::open(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::os(errno);
  if (!S_ISREG(st.st_mode)) {
    return Error::kind(ErrorKind::InvalidInput,
                       S_ISDIR(st.st_mode) ? "it is a directory, not a file" : "it is not a file");
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return Error::os(errno);
  return std::unique_ptr<LocalCopySink>(new LocalCopySink(file));
}

void LocalCopySink::take(std::span<const uint8_t> piece) {
  if (settled_) {
    offset_ += piece.size();
    return;
  }
  block_.resize(piece.size());
  const size_t n = std::fread(block_.data(), 1, piece.size(), file_.get());
  if (std::ferror(file_.get())) {
    facts_.read_error = Error::os(errno);
    settled_ = true;
    return;
  }
  const size_t common = std::min(n, piece.size());
  const auto [served, local] = std::mismatch(piece.begin(), piece.begin() + common, block_.begin());
  if (served != piece.begin() + common) {
    facts_.first_difference = offset_ + static_cast<uint64_t>(served - piece.begin());
    settled_ = true;
  } else if (n < piece.size()) {
    facts_.local_ends_at = offset_ + n;
    settled_ = true;
  }
  offset_ += piece.size();
}

LocalCopyFacts LocalCopySink::finish() {
  if (!settled_) facts_.local_longer = std::fgetc(file_.get()) != EOF;
  return facts_;
}

Result<std::unique_ptr<FileCopySink>> FileCopySink::make() {
  std::FILE* file = std::tmpfile();
  if (!file) return Error::os(errno);
  return std::unique_ptr<FileCopySink>(new FileCopySink(file));
}

void FileCopySink::take(std::span<const uint8_t> piece) {
  if (write_error_) return;
  if (std::fwrite(piece.data(), 1, piece.size(), file_.get()) != piece.size()) {
    write_error_ = Error::os(errno);
  }
}

Result<std::string> FileCopySink::finish() {
  if (!write_error_ && std::fflush(file_.get()) != 0) write_error_ = Error::os(errno);
  if (write_error_) return *write_error_;
  // By the process id, not "self": the tool that opens it is another process.
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fileno(file_.get()));
}

ProgressSink::~ProgressSink() {
  if (shown_ > 0) std::fprintf(out_, "\r\033[K");
}

void ProgressSink::take(std::span<const uint8_t> piece) {
  done_ += piece.size();
  if (done_ - shown_ < (256 << 10)) return;
  shown_ = done_;
  if (total_ && *total_ > 0) {
    std::fprintf(out_, "\r  downloading: %llu of %llu bytes (%llu%%)",
                 static_cast<unsigned long long>(done_), static_cast<unsigned long long>(*total_),
                 static_cast<unsigned long long>(std::min<uint64_t>(100, done_ * 100 / *total_)));
  } else {
    std::fprintf(out_, "\r  downloading: %llu bytes", static_cast<unsigned long long>(done_));
  }
}

}  // namespace quorvel::check
