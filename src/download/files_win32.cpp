#include <windows.h>

#include <algorithm>
#include <utility>

#include "download/files.h"
#include "runtime/delete_file.h"
#include "runtime/system_calls.h"
#include "runtime/utf.h"

namespace quorvel {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

Result<std::wstring> wide_path(const std::string& path) {
  auto wide = utf8_to_utf16(path);
  if (!wide) return Error::kind(ErrorKind::InvalidInput, "path is not valid UTF-8");
  return std::move(*wide);
}

Result<intptr_t> open_with(const std::string& path, DWORD access, DWORD disposition) {
  auto wide = wide_path(path);
  if (!wide) return wide.take_error();
  HANDLE handle = system_calls().create_file(wide->c_str(), access, SHARE_ALL, nullptr, disposition,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_os_error();
  return reinterpret_cast<intptr_t>(handle);
}

}  // namespace

Result<File> File::open_read(const std::string& path) {
  auto native = open_with(path, GENERIC_READ, OPEN_EXISTING);
  if (!native) return native.take_error();
  return File(*native);
}

Result<File> File::create_append(const std::string& path) {
  // Append-only access: the system places every write at the current end of the file.
  auto native = open_with(path, FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES, OPEN_ALWAYS);
  if (!native) return native.take_error();
  return File(*native);
}

Result<File> File::create_truncate(const std::string& path) {
  // Opened as it is and then cut, rather than CREATE_ALWAYS, which refuses an existing hidden or
  // system file: a tag file hidden by some tool would otherwise cost the resume on every run.
  auto native = open_with(path, GENERIC_WRITE, OPEN_ALWAYS);
  if (!native) return native.take_error();
  File file(*native);
  if (!SetEndOfFile(handle_of(file.native_))) {
    return last_os_error();
  }
  return file;
}

File::File(File&& other) noexcept : native_(std::exchange(other.native_, INVALID)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (native_ != INVALID) CloseHandle(handle_of(native_));
    native_ = std::exchange(other.native_, INVALID);
  }
  return *this;
}

File::~File() {
  if (native_ != INVALID) CloseHandle(handle_of(native_));
}

Result<size_t> File::read(std::span<uint8_t> buffer) {
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size(), 1u << 30));
  if (!ReadFile(handle_of(native_), buffer.data(), want, &n, nullptr)) {
    const DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE) return size_t{0};
    return Error::os(static_cast<int32_t>(code));
  }
  return static_cast<size_t>(n);
}

Result<size_t> File::write(std::span<const uint8_t> bytes) {
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
  if (!WriteFile(handle_of(native_), bytes.data(), want, &n, nullptr)) {
    return last_os_error();
  }
  return static_cast<size_t>(n);
}

Result<uint64_t> File::size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(native_), &size)) {
    return last_os_error();
  }
  return static_cast<uint64_t>(size.QuadPart);
}

Result<void> File::flush() {
  return success();
}

Result<void> File::close() {
  const intptr_t native = std::exchange(native_, INVALID);
  if (native != INVALID && !CloseHandle(handle_of(native))) {
    return last_os_error();
  }
  return success();
}

Result<void> delete_file_at(const std::string& path) {
  auto wide = wide_path(path);
  if (!wide) return wide.take_error();
  return delete_file(*wide);
}

}  // namespace quorvel
