// The few file operations the download needs, on paths given as UTF-8. Every file is opened shared
// for reading, writing and deletion, so another program (or a retry deleting the files) is never
// locked out. Calls block: the download runs them on the blocking pool, all but its body writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace quorvel {

class File {
 public:
  static Result<File> open_read(const std::string& path);
  static Result<File> create_append(const std::string& path);    // every write goes to the end
  static Result<File> create_truncate(const std::string& path);  // emptied on open

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  Result<size_t> read(std::span<uint8_t> buffer);  // 0 = end of file
  Result<size_t> write(std::span<const uint8_t> bytes);
  Result<uint64_t> size() const;  // from the file's metadata
  // Writes are not buffered here, so there is nothing to push; kept so callers state their intent.
  Result<void> flush();
  // Closes the handle and reports a failure to do so; the destructor closes silently.
  Result<void> close();

 private:
  explicit File(intptr_t native) : native_(native) {}
  static constexpr intptr_t INVALID = -1;
  intptr_t native_ = INVALID;  // HANDLE on Windows, file descriptor elsewhere
};

// Writes all bytes; a write that takes none fails with "write zero".
Result<void> write_all(File& file, std::span<const uint8_t> bytes);

// The whole file, read to its end.
Result<std::vector<uint8_t>> read_whole_file(const std::string& path);

// Deletes the file at path. On Windows a read-only file is deleted too.
Result<void> delete_file_at(const std::string& path);

}  // namespace quorvel
