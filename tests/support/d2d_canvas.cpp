#include "support/d2d_canvas.h"

#include "../../libui/windows/uipriv_windows.hpp"

namespace quorvel::test {

D2dCanvas::D2dCanvas(int width, int height) : width_(width), height_(height) {
  dc_ = CreateCompatibleDC(nullptr);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bits_ = static_cast<const uint8_t*>(bits);
  previous_ = SelectObject(dc_, bitmap_);
}

D2dCanvas::~D2dCanvas() {
  if (dc_ != nullptr) {
    SelectObject(dc_, previous_);
    DeleteDC(dc_);
  }
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
}

HRESULT D2dCanvas::draw(Rgb background, const std::function<void(uiDrawContext*)>& draw) {
  ID2D1DCRenderTarget* rt = nullptr;
  HRESULT hr = uiprivCreateAreaRenderTarget(&rt);
  if (FAILED(hr)) return hr;
  RECT rect = {0, 0, width_, height_};
  hr = rt->BindDC(dc_, &rect);
  if (SUCCEEDED(hr)) {
    rt->BeginDraw();
    rt->Clear(
        D2D1_COLOR_F{background.r / 255.0f, background.g / 255.0f, background.b / 255.0f, 1.0f});
    uiDrawContext* context = uiprivNewDrawContext(rt);
    draw(context);
    uiprivFreeDrawContext(context);
    hr = rt->EndDraw();
  }
  rt->Release();
  GdiFlush();
  return hr;
}

Rgb D2dCanvas::pixel(int x, int y) const {
  const uint8_t* p = bits_ + (static_cast<size_t>(y) * width_ + x) * 4;  // B, G, R, unused
  return Rgb{p[2], p[1], p[0]};
}

}  // namespace quorvel::test
