#include "runtime/error.h"

namespace quorvel {

const char* error_kind_text(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Os:
      return "os error";
    case ErrorKind::NotFound:
      return "entity not found";
    case ErrorKind::PermissionDenied:
      return "permission denied";
    case ErrorKind::ConnectionRefused:
      return "connection refused";
    case ErrorKind::ConnectionReset:
      return "connection reset";
    case ErrorKind::ConnectionAborted:
      return "connection aborted";
    case ErrorKind::TimedOut:
      return "timed out";
    case ErrorKind::Interrupted:
      return "operation interrupted";
    case ErrorKind::InvalidInput:
      return "invalid input parameter";
    case ErrorKind::InvalidData:
      return "invalid data";
    case ErrorKind::UnexpectedEof:
      return "unexpected end of file";
    case ErrorKind::WriteZero:
      return "write zero";
    case ErrorKind::Other:
      return "other error";
  }
  return "other error";
}

}  // namespace quorvel
