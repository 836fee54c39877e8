// Decoding the embedded banner and drawing it through the toolkit's image buffer, and the window
// that shows it.
#include "main/banner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "main/progress_window.h"
#include "support/d2d_canvas.h"
#include "support/toolkit_test.h"

namespace quorvel {
namespace {

using test::D2dCanvas;
using test::Rgb;

class BannerTest : public test::ToolkitTest {};

TEST_F(BannerTest, EmbeddedPngIsThere) {
  std::span<const uint8_t> png = banner_png();
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png[0], 0x89);
  EXPECT_EQ(png[1], 'P');
}

TEST_F(BannerTest, DecodesTo300By169RgbaRows) {
  Result<BannerImage> image = decode_banner();
  ASSERT_TRUE(image.ok()) << error_text(image.error());
  EXPECT_EQ(image->width, 300u);
  EXPECT_EQ(image->height, 169u);
  ASSERT_EQ(image->pixels.size(), 202800u);
  for (size_t i = 3; i < image->pixels.size(); i += 4) ASSERT_EQ(image->pixels[i], 255) << i;
}

// The reference pixels come from an independent decoder (ImageMagick), through the test's
// command line: --dump FILE writes the decoded bytes for the Python check.
TEST_F(BannerTest, DumpForIndependentComparison) {
  const char* path = std::getenv("QUORVEL_BANNER_DUMP");
  if (path == nullptr) GTEST_SKIP() << "QUORVEL_BANNER_DUMP not set";
  Result<BannerImage> image = decode_banner();
  ASSERT_TRUE(image.ok());
  FILE* f = std::fopen(path, "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(image->pixels.data(), 1, image->pixels.size(), f);
  std::fclose(f);
}

TEST_F(BannerTest, RejectsDataThatIsNotAPng) {
  const uint8_t junk[] = {0x89, 'P', 'N', 'G', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  Result<BannerImage> image = decode_png(junk);
  ASSERT_FALSE(image.ok());
  EXPECT_TRUE(image.error().is_os());
  Result<BannerImage> empty = decode_png({});
  EXPECT_FALSE(empty.ok());
}

TEST_F(BannerTest, TruncatedPngIsAnErrorNotACrash) {
  std::span<const uint8_t> png = banner_png();
  std::vector<uint8_t> half(png.begin(), png.begin() + png.size() / 2);
  Result<BannerImage> image = decode_png(half);
  // WIC may report the damage while decoding or only return what it had; either way no crash and
  // never a wrong size.
  if (image.ok()) {
    EXPECT_EQ(image->pixels.size(), 202800u);
  }
}

void draw_into(D2dCanvas& canvas, BannerHandler* handler, uiAreaDrawParams params) {
  ASSERT_EQ(canvas.draw(Rgb{0, 0, 0},
                        [&](uiDrawContext* c) {
                          params.Context = c;
                          draw_banner(&handler->handler, nullptr, &params);
                        }),
            S_OK);
}

TEST_F(BannerTest, DrawsAtNaturalSizeFromTheTopLeftWhateverTheArea) {
  Result<BannerImage> image = decode_banner();
  ASSERT_TRUE(image.ok());
  std::vector<uint8_t> pixels = image->pixels;
  BannerHandler* handler = new_banner_handler(std::move(image.value()));
  EXPECT_EQ(handler->handler.KeyEvent(&handler->handler, nullptr, nullptr), 1);

  // An area shorter than the banner (the bar takes the rest), with a clip covering only part of it.
  D2dCanvas canvas(320, 156);
  uiAreaDrawParams params = {nullptr, 320, 156, 10, 10, 20, 20};
  draw_into(canvas, handler, params);
  for (int y = 0; y < 156; ++y) {
    for (int x = 0; x < 300; ++x) {
      const uint8_t* p = &pixels[(static_cast<size_t>(y) * 300 + x) * 4];
      ASSERT_EQ(canvas.pixel(x, y), (Rgb{p[0], p[1], p[2]})) << "at " << x << "," << y;
    }
    for (int x = 300; x < 320; ++x) ASSERT_EQ(canvas.pixel(x, y), (Rgb{0, 0, 0}));
  }
  delete handler;
}

// Position of a child window in its parent's client area.
RECT child_rect(uintptr_t handle) {
  HWND child = reinterpret_cast<HWND>(handle);
  RECT r = {};
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST_F(BannerTest, ProgressWindowIsFramelessCentredWithTheBannerDirectlyAboveTheBar) {
  Result<BannerImage> image = decode_banner();
  ASSERT_TRUE(image.ok());
  PrimaryOutput output;
  output.rect = {0, 0, 1920, 1080};
  ProgressWindow window = create_progress_window(std::move(image.value()), output);
  for (int i = 0; i < 200; ++i) uiMainStep(0);

  HWND hwnd = reinterpret_cast<HWND>(uiControlHandle(uiControl(window.window)));
  HWND box = GetWindow(hwnd, GW_CHILD);
  ASSERT_NE(box, nullptr);
  const uintptr_t bar = uiControlHandle(uiControl(window.progress->bar));
  HWND area = GetWindow(box, GW_CHILD);  // the box's other child
  if (reinterpret_cast<uintptr_t>(area) == bar) area = GetWindow(area, GW_HWNDNEXT);
  ASSERT_NE(area, nullptr);
  // Frameless, fixed, centred, the client area the banner's size.
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWL_STYLE) &
                (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MAXIMIZEBOX | WS_MINIMIZEBOX),
            0);
  RECT frame = {};
  GetWindowRect(hwnd, &frame);
  EXPECT_EQ(frame.left, 810);
  EXPECT_EQ(frame.top, 455);
  RECT client = {};
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 169);
  // No window margin: the box fills the client area.
  const RECT box_rect = child_rect(reinterpret_cast<uintptr_t>(box));
  EXPECT_EQ(box_rect.left, 0);
  EXPECT_EQ(box_rect.top, 0);
  EXPECT_EQ(box_rect.right, 300);
  EXPECT_EQ(box_rect.bottom, 169);
  // No padding: the bar starts where the banner's area ends and reaches the bottom.
  const RECT area_rect = child_rect(reinterpret_cast<uintptr_t>(area));
  const RECT bar_rect = child_rect(bar);
  EXPECT_EQ(area_rect.top, 0);
  EXPECT_EQ(area_rect.right, 300);
  EXPECT_GT(bar_rect.bottom - bar_rect.top, 0);
  EXPECT_EQ(bar_rect.top, area_rect.bottom);
  EXPECT_EQ(bar_rect.bottom, 169);
  EXPECT_EQ(bar_rect.left, 0);
  EXPECT_EQ(bar_rect.right, 300);
  uiControlDestroy(uiControl(window.window));
}

}  // namespace
}  // namespace quorvel
