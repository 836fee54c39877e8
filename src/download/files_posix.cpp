#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "download/files.h"

namespace quorvel {

Result<File> File::open_read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno);
  return File(fd);
}

Result<File> File::create_append(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Error::os(errno);
  return File(fd);
}

Result<File> File::create_truncate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Error::os(errno);
  return File(fd);
}

File::File(File&& other) noexcept : native_(std::exchange(other.native_, INVALID)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (native_ != INVALID) ::close(static_cast<int>(native_));
    native_ = std::exchange(other.native_, INVALID);
  }
  return *this;
}

File::~File() {
  if (native_ != INVALID) ::close(static_cast<int>(native_));
}

Result<size_t> File::read(std::span<uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(native_), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Error::os(errno);
  }
}

Result<size_t> File::write(std::span<const uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::write(static_cast<int>(native_), bytes.data(), bytes.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Error::os(errno);
  }
}

Result<uint64_t> File::size() const {
  struct stat info;
  if (::fstat(static_cast<int>(native_), &info) != 0) return Error::os(errno);
  return static_cast<uint64_t>(info.st_size);
}

Result<void> File::flush() {
  return success();
}

Result<void> File::close() {
  const int fd = static_cast<int>(std::exchange(native_, INVALID));
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return Error::os(errno);
  return success();
}

Result<void> delete_file_at(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error::os(errno);
  return success();
}

}  // namespace quorvel
