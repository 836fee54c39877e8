// Errors travel as values. An Error is either an operating-system code (Win32, Winsock, HRESULT,
// NTSTATUS or SECURITY_STATUS; errno on the native test build) or a kind with a message. It becomes
// text only where it is printed, through error_text().
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quorvel {

enum class ErrorKind : uint8_t {
  Os,  // carries an OS code instead of a message
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  TimedOut,
  Interrupted,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  Other,
};

// The description a kind prints when it carries no message of its own ("entity not found", ...).
const char* error_kind_text(ErrorKind kind);

class Error {
 public:
  static Error os(int32_t code) { return Error(ErrorKind::Os, code, {}); }
  static Error kind(ErrorKind kind, std::string message = {}) {
    return Error(kind, 0, std::move(message));
  }
  static Error other(std::string message) { return kind(ErrorKind::Other, std::move(message)); }

  bool is_os() const { return kind_ == ErrorKind::Os; }
  ErrorKind kind() const { return kind_; }
  int32_t code() const { return code_; }  // meaningful only when is_os()
  const std::string& message() const { return message_; }

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(ErrorKind kind, int32_t code, std::string message)
      : kind_(kind), code_(code), message_(std::move(message)) {}

  ErrorKind kind_;
  int32_t code_;
  std::string message_;
};

// The calling thread's last system error (GetLastError on Windows, errno on the native build).
Error last_os_error();

// The printable text: for an OS code the system's message + " (os error N)" (or the documented
// fallbacks), for a kind its message, or the kind's description when the message is empty.
std::string error_text(const Error& error);

// Result<T>: a value or an Error. Result<void> carries only the error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }
  Error&& take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const { return error_; }
  Error&& take_error() { return std::move(error_); }

 private:
  Error error_ = Error::kind(ErrorKind::Other);
  bool ok_ = true;
};

inline Result<void> success() {
  return {};
}

}  // namespace quorvel
