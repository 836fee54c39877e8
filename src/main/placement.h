// Where the progress window goes: centred on the display output's desktop rectangle.
#pragma once

#include <cstdint>

namespace quorvel {

// A display output's desktop rectangle, in desktop coordinates, as the platform reports it.
struct DesktopRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

struct WindowPosition {
  int32_t x = 0;
  int32_t y = 0;
  friend bool operator==(const WindowPosition&, const WindowPosition&) = default;
};

// x = (right - left - width) / 2, y = (bottom - top - height) / 2, truncating toward zero. The
// output's own origin is not added: the position is relative to the desktop origin.
WindowPosition window_position(const DesktopRect& rect, uint32_t width, uint32_t height);

}  // namespace quorvel
