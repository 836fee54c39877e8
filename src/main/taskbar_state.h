// What the window's taskbar button shows besides the bar's value.
#pragma once

#include <cstdint>

namespace quorvel {

enum class TaskbarState : uint8_t {
  None,    // no progress shown
  Normal,  // downloading
  Error,   // the pause after a failed download
  Paused,  // after a checksum mismatch, until the new download moves
};

}  // namespace quorvel
