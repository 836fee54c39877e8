#include "main/dxgi_result.h"

namespace quorvel {

Error dxgi_factory_error(uint32_t result) {
  switch (result) {
    case DXGI_RESULT_INVALID_CALL:
      return Error::kind(ErrorKind::InvalidData);
    case DXGI_RESULT_UNSUPPORTED:
      return Error::kind(ErrorKind::ConnectionRefused);
    case DXGI_RESULT_NOT_CURRENTLY_AVAILABLE:
      return Error::kind(ErrorKind::Interrupted);
    case DXGI_RESULT_ACCESS_LOST:
      return Error::kind(ErrorKind::ConnectionReset);
    case DXGI_RESULT_WAIT_TIMEOUT:
      return Error::kind(ErrorKind::TimedOut);
    case DXGI_RESULT_SESSION_DISCONNECTED:
      return Error::kind(ErrorKind::ConnectionAborted);
    case RESULT_ACCESS_DENIED:
      return Error::kind(ErrorKind::PermissionDenied);
    default:
      return Error::kind(ErrorKind::Other);
  }
}

}  // namespace quorvel
