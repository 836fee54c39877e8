#include "main/std_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace quorvel {

namespace {

bool usable(HANDLE h) {
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

void attach(DWORD std_id, int fd, FILE* stream) {
  HANDLE inherited = GetStdHandle(std_id);
  if (usable(inherited) && _get_osfhandle(fd) < 0) {
    // The runtime closes the descriptor it is given; hand it a duplicate of the standard handle.
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), inherited, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) != 0) {
      int new_fd = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_WRONLY | _O_BINARY);
      if (new_fd < 0) {
        CloseHandle(copy);
      } else if (new_fd != fd) {
        _dup2(new_fd, fd);
        _close(new_fd);
      }
    }
  }
  if (_get_osfhandle(fd) >= 0) {
    // stdout/stderr of a GUI program may be in an error state from writes before the attach.
    clearerr(stream);
    _setmode(fd, _O_BINARY);
  }
  setvbuf(stream, nullptr, _IONBF, 0);
}

}  // namespace

void attach_std_streams() {
  attach(STD_OUTPUT_HANDLE, 1, stdout);
  attach(STD_ERROR_HANDLE, 2, stderr);
}

}  // namespace quorvel
