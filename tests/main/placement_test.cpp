#include "main/placement.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(WindowPosition, CentresTheBannerOnAFullHdOutput) {
  EXPECT_EQ(window_position(DesktopRect{0, 0, 1920, 1080}, 300, 169), (WindowPosition{810, 455}));
}

TEST(WindowPosition, IgnoresTheOutputsOwnOrigin) {
  EXPECT_EQ(window_position(DesktopRect{1920, 0, 3840, 1080}, 300, 169),
            (WindowPosition{810, 455}));
  EXPECT_EQ(window_position(DesktopRect{-1280, -200, 0, 824}, 300, 169),
            (WindowPosition{490, 427}));
}

TEST(WindowPosition, OddRemainderTruncatesTowardZero) {
  // 301 pixels left over horizontally, 855 vertically.
  EXPECT_EQ(window_position(DesktopRect{0, 0, 601, 1024}, 300, 169), (WindowPosition{150, 427}));
}

TEST(WindowPosition, BannerWiderThanTheOutputGivesANegativePosition) {
  // -11 and -3 left over: truncation toward zero, not toward minus infinity.
  EXPECT_EQ(window_position(DesktopRect{0, 0, 289, 166}, 300, 169), (WindowPosition{-5, -1}));
}

TEST(WindowPosition, OtherScreenSizes) {
  EXPECT_EQ(window_position(DesktopRect{0, 0, 1280, 1024}, 300, 169), (WindowPosition{490, 427}));
  EXPECT_EQ(window_position(DesktopRect{0, 0, 1024, 768}, 300, 169), (WindowPosition{362, 299}));
  EXPECT_EQ(window_position(DesktopRect{0, 0, 0, 0}, 0, 0), (WindowPosition{0, 0}));
}

TEST(WindowPosition, ExtremeRectanglesWrapInThirtyTwoBits) {
  // right - left overflows int32: the formula is defined on wrapping 32-bit arithmetic.
  WindowPosition p = window_position(DesktopRect{INT32_MIN, 0, INT32_MAX, 2}, 1, 0);
  EXPECT_EQ(p.x, -1);  // (-1 - 1) / 2
  EXPECT_EQ(p.y, 1);
}

}  // namespace
}  // namespace quorvel
