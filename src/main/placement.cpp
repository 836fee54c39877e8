#include "main/placement.h"

namespace quorvel {

WindowPosition window_position(const DesktopRect& rect, uint32_t width, uint32_t height) {
  // 32-bit wrap-around arithmetic on purpose: the formula is defined on signed 32-bit values.
  auto sub = [](int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
  };
  int32_t free_x = sub(sub(rect.right, rect.left), static_cast<int32_t>(width));
  int32_t free_y = sub(sub(rect.bottom, rect.top), static_cast<int32_t>(height));
  return WindowPosition{free_x / 2, free_y / 2};
}

}  // namespace quorvel
