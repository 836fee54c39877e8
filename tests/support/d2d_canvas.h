// An offscreen canvas for drawing tests: a top-down 32-bit DIB section in a memory DC, drawn on
// through the same kind of Direct2D DC render target as the toolkit's area, and read back pixel by
// pixel.
#pragma once

#include <windows.h>

#include <d2d1.h>

#include <cstdint>
#include <functional>

#include "ui.h"

namespace quorvel::test {

struct Rgb {
  uint8_t r, g, b;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

class D2dCanvas {
 public:
  D2dCanvas(int width, int height);
  ~D2dCanvas();
  D2dCanvas(const D2dCanvas&) = delete;
  D2dCanvas& operator=(const D2dCanvas&) = delete;

  // Clears to `background`, then calls draw with a toolkit drawing context; returns EndDraw's
  // result.
  HRESULT draw(Rgb background, const std::function<void(uiDrawContext*)>& draw);
  Rgb pixel(int x, int y) const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  const uint8_t* bits_ = nullptr;
};

}  // namespace quorvel::test
