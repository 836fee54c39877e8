// The image buffer drawn through Direct2D into an offscreen canvas and read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../../libui/windows/uipriv_windows.hpp"
#include "support/d2d_canvas.h"
#include "support/toolkit_test.h"

namespace quorvel::test {
namespace {

const Rgb BACKGROUND{0x10, 0x20, 0x30};

std::vector<std::wstring> captured_lines;
void capture_line(const wchar_t* line) {
  captured_lines.emplace_back(line);
}

// A width x height picture in which every pixel has its own colour; alpha 255.
std::vector<uint8_t> test_picture(int width, int height) {
  std::vector<uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(static_cast<uint8_t>(20 + x * 29));
      pixels.push_back(static_cast<uint8_t>(40 + y * 37));
      pixels.push_back(static_cast<uint8_t>((x * 53 + y * 11) & 0xFF));
      pixels.push_back(255);
    }
  }
  return pixels;
}

Rgb picture_pixel(const std::vector<uint8_t>& pixels, int width, int x, int y) {
  const uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
  return Rgb{p[0], p[1], p[2]};
}

class ImageBufferTest : public test::ToolkitTest {
 protected:
  void SetUp() override {
    captured_lines.clear();
    uiprivSetDiagnosticSink(capture_line);
  }
  void TearDown() override { uiprivSetDiagnosticSink(nullptr); }
};

TEST_F(ImageBufferTest, EqualSizeDrawIsPixelForPixel) {
  const int w = 7, h = 5;
  std::vector<uint8_t> picture = test_picture(w, h);
  D2dCanvas canvas(16, 12);
  HRESULT hr = canvas.draw(BACKGROUND, [&](uiDrawContext* c) {
    uiImageBuffer* buf = uiNewImageBuffer(c, w, h, 1);
    uiImageBufferUpdate(buf, picture.data());
    uiRect src = {0, 0, w, h};
    uiRect dst = {3, 2, w, h};
    uiImageBufferDraw(c, buf, &src, &dst);
    uiFreeImageBuffer(buf);
  });
  ASSERT_EQ(hr, S_OK);
  for (int y = 0; y < canvas.height(); ++y) {
    for (int x = 0; x < canvas.width(); ++x) {
      bool inside = x >= 3 && x < 3 + w && y >= 2 && y < 2 + h;
      Rgb expected = inside ? picture_pixel(picture, w, x - 3, y - 2) : BACKGROUND;
      ASSERT_EQ(canvas.pixel(x, y), expected) << "at " << x << "," << y;
    }
  }
  EXPECT_TRUE(captured_lines.empty());
}

TEST_F(ImageBufferTest, DoubleSizeDestinationDoublesEveryPixelWithoutSmoothing) {
  const int w = 5, h = 4;
  std::vector<uint8_t> picture = test_picture(w, h);
  D2dCanvas canvas(2 * w, 2 * h);
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          uiImageBuffer* buf = uiNewImageBuffer(c, w, h, 1);
                          uiImageBufferUpdate(buf, picture.data());
                          uiRect src = {0, 0, w, h};
                          uiRect dst = {0, 0, 2 * w, 2 * h};
                          uiImageBufferDraw(c, buf, &src, &dst);
                          uiFreeImageBuffer(buf);
                        }),
            S_OK);
  for (int y = 0; y < 2 * h; ++y)
    for (int x = 0; x < 2 * w; ++x)
      ASSERT_EQ(canvas.pixel(x, y), picture_pixel(picture, w, x / 2, y / 2))
          << "at " << x << "," << y;
}

TEST_F(ImageBufferTest, KeepsTheRedGreenBlueByteOrder) {
  const uint8_t pixels[] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 1, 2, 3, 255};
  D2dCanvas canvas(4, 1);
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          uiImageBuffer* buf = uiNewImageBuffer(c, 4, 1, 1);
                          uiImageBufferUpdate(buf, pixels);
                          uiRect r = {0, 0, 4, 1};
                          uiImageBufferDraw(c, buf, &r, &r);
                          uiFreeImageBuffer(buf);
                        }),
            S_OK);
  EXPECT_EQ(canvas.pixel(0, 0), (Rgb{255, 0, 0}));
  EXPECT_EQ(canvas.pixel(1, 0), (Rgb{0, 255, 0}));
  EXPECT_EQ(canvas.pixel(2, 0), (Rgb{0, 0, 255}));
  EXPECT_EQ(canvas.pixel(3, 0), (Rgb{1, 2, 3}));
}

TEST_F(ImageBufferTest, AlphaFlagBlendsPremultipliedPixelsAndZeroIgnoresAlpha) {
  const uint8_t transparent[] = {0, 0, 0, 0};
  D2dCanvas canvas(2, 1);
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          for (int alpha : {1, 0}) {
                            uiImageBuffer* buf = uiNewImageBuffer(c, 1, 1, alpha);
                            uiImageBufferUpdate(buf, transparent);
                            uiRect src = {0, 0, 1, 1};
                            uiRect dst = {1 - alpha, 0, 1, 1};
                            uiImageBufferDraw(c, buf, &src, &dst);
                            uiFreeImageBuffer(buf);
                          }
                        }),
            S_OK);
  EXPECT_EQ(canvas.pixel(0, 0), BACKGROUND);      // fully transparent: the background shows
  EXPECT_EQ(canvas.pixel(1, 0), (Rgb{0, 0, 0}));  // alpha ignored: an opaque black pixel
}

TEST_F(ImageBufferTest, SourceRectangleSelectsPartOfTheBitmap) {
  const int w = 6, h = 6;
  std::vector<uint8_t> picture = test_picture(w, h);
  D2dCanvas canvas(4, 4);
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          uiImageBuffer* buf = uiNewImageBuffer(c, w, h, 0);
                          uiImageBufferUpdate(buf, picture.data());
                          uiRect src = {2, 3, 3, 2};
                          uiRect dst = {1, 1, 3, 2};
                          uiImageBufferDraw(c, buf, &src, &dst);
                          uiFreeImageBuffer(buf);
                        }),
            S_OK);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      bool inside = x >= 1 && y >= 1 && y < 3;
      Rgb expected = inside ? picture_pixel(picture, w, x - 1 + 2, y - 1 + 3) : BACKGROUND;
      EXPECT_EQ(canvas.pixel(x, y), expected) << "at " << x << "," << y;
    }
  }
}

TEST_F(ImageBufferTest, AFailedBitmapIsReportedAndTheBufferStaysHarmless) {
  std::vector<uint8_t> row(4 * 100000, 200);
  size_t blocks_before = uiprivLiveBlockCount();
  D2dCanvas canvas(3, 3);
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          // Far beyond any texture size limit.
                          uiImageBuffer* buf = uiNewImageBuffer(c, 100000, 1, 1);
                          uiImageBufferUpdate(buf, row.data());
                          uiRect src = {0, 0, 100000, 1};
                          uiRect dst = {0, 0, 3, 3};
                          uiImageBufferDraw(c, buf, &src, &dst);
                          uiFreeImageBuffer(buf);
                        }),
            S_OK);
  EXPECT_EQ(uiprivLiveBlockCount(), blocks_before);
  EXPECT_EQ(canvas.pixel(1, 1), BACKGROUND);
  ASSERT_EQ(captured_lines.size(), 1u);
  const std::wstring prefix =
      L"[libui] libui/windows/draw.cpp:531:uiNewImageBuffer() error creating ImageBuffer: "
      L"HRESULT == 0x";
  EXPECT_EQ(captured_lines[0].substr(0, prefix.size()), prefix) << captured_lines[0].c_str();
  // Eight hex digits of a failure code, a space and the system's text follow.
  ASSERT_GT(captured_lines[0].size(), prefix.size() + 9);
  EXPECT_EQ(captured_lines[0][prefix.size()], L'8');
  EXPECT_EQ(captured_lines[0][prefix.size() + 8], L' ');
}

TEST_F(ImageBufferTest, ImpossibleSizesAreReportedNotWrapped) {
  D2dCanvas canvas(2, 2);
  const uint8_t pixel[4] = {1, 2, 3, 255};
  ASSERT_EQ(canvas.draw(BACKGROUND,
                        [&](uiDrawContext* c) {
                          for (auto [w, h] : {std::pair{-1, 1}, std::pair{1, -4},
                                              std::pair{INT32_MAX / 4 + 1, 1}}) {
                            uiImageBuffer* buf = uiNewImageBuffer(c, w, h, 1);
                            uiImageBufferUpdate(buf, pixel);
                            uiRect r = {0, 0, 2, 2};
                            uiImageBufferDraw(c, buf, &r, &r);
                            uiFreeImageBuffer(buf);
                          }
                        }),
            S_OK);
  EXPECT_EQ(canvas.pixel(0, 0), BACKGROUND);
  ASSERT_EQ(captured_lines.size(), 3u);
  for (const std::wstring& line : captured_lines)
    EXPECT_NE(line.find(L"error creating ImageBuffer: HRESULT == 0x80070057 "), std::wstring::npos)
        << line.c_str();
}

// Last: it shuts the toolkit down (and starts it again).
TEST_F(ImageBufferTest, ABufferAliveAtShutdownIsInTheLeakReport) {
  D2dCanvas canvas(2, 2);
  uiImageBuffer* kept = nullptr;
  ASSERT_EQ(canvas.draw(BACKGROUND, [&](uiDrawContext* c) { kept = uiNewImageBuffer(c, 2, 2, 1); }),
            S_OK);
  ASSERT_NE(kept, nullptr);
  uiUninit();
  int listed = 0;
  for (const std::wstring& line : captured_lines) {
    if (line.find(L"uiImageBuffer") != std::wstring::npos) {
      ++listed;
      EXPECT_EQ(line.rfind(L"[libui] ", 0), 0u);
      // The same formatting as the report's own.
      char address[32];
      snprintf(address, sizeof(address), "%p", static_cast<void*>(kept));
      EXPECT_NE(line.find(std::wstring(address, address + strlen(address))), std::wstring::npos)
          << line.c_str();
    }
  }
  EXPECT_EQ(listed, 1);
  uiFreeImageBuffer(kept);
  uiInitOptions options = {};
  options.Size = sizeof(options);
  const char* err = uiInit(&options);
  EXPECT_EQ(err, nullptr);
}

}  // namespace
}  // namespace quorvel::test
