// The window baseline: the least a program can do to show the banner. A borderless 300x169 window
// centred on the screen, painted once per WM_PAINT with the given bitmap through a Direct2D HWND
// render target; then the main loop handles up to five messages with PeekMessage and sleeps 5 ms,
// like the program's loop without its status tick.
//
// Built a second time as window_baseline_query, it first makes the program's display query
// (find_primary_output, held until the end as the program holds it), so that the suite can tell
// the query's share of the program's start-up from the rest.
//
//   window_baseline BGRA_FILE      (300x169 pixels, 4 bytes each, top row first, opaque)
#include <windows.h>

#include <d2d1.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "main/com_ref.h"
#ifdef QUERY_DISPLAY_FIRST
#include "main/display.h"
#endif

namespace {

using quorvel::ComRef;

constexpr int WIDTH = 300;
constexpr int HEIGHT = 169;

struct Painter {
  std::vector<uint8_t> pixels;
  ComRef<ID2D1Factory> factory;
  ComRef<ID2D1HwndRenderTarget> target;
  ComRef<ID2D1Bitmap> bitmap;

  void paint(HWND window) {
    if (!target) {
      const auto properties = D2D1::RenderTargetProperties();
      const auto hwnd_properties =
          D2D1::HwndRenderTargetProperties(window, D2D1::SizeU(WIDTH, HEIGHT));
      if (FAILED(factory->CreateHwndRenderTarget(&properties, &hwnd_properties, target.put())))
        return;
      const auto format = D2D1::BitmapProperties(
          D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED));
      if (FAILED(target->CreateBitmap(D2D1::SizeU(WIDTH, HEIGHT), pixels.data(), WIDTH * 4, &format,
                                      bitmap.put())))
        return;
    }
    target->BeginDraw();
    target->DrawBitmap(bitmap.get(), D2D1::RectF(0, 0, WIDTH, HEIGHT), 1.0f,
                       D2D1_BITMAP_INTERPOLATION_MODE_NEAREST_NEIGHBOR);
    if (target->EndDraw() == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
      bitmap.reset();
      target.reset();
    }
  }
};

Painter painter;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      painter.paint(window);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, w, l);
  }
}

bool read_pixels(const char* path, std::vector<uint8_t>& pixels) {
  pixels.resize(static_cast<size_t>(WIDTH) * HEIGHT * 4);
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  const size_t n = std::fread(pixels.data(), 1, pixels.size(), f);
  std::fclose(f);
  return n == pixels.size();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (__argc != 2 || !read_pixels(__argv[1], painter.pixels)) return 2;
#ifdef QUERY_DISPLAY_FIRST
  const auto output = quorvel::find_primary_output();
  if (!output) return 1;
#endif
  if (FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                               painter.factory.put_void())))
    return 1;

  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
  window_class.lpszClassName = L"window_baseline";
  if (RegisterClassW(&window_class) == 0) return 1;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - WIDTH) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - HEIGHT) / 2;
  HWND window = CreateWindowExW(0, L"window_baseline", L"Baseline", WS_POPUP, x, y, WIDTH, HEIGHT,
                                nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);

  for (;;) {
    for (int i = 0; i < 5; ++i) {
      MSG message;
      if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) continue;
      if (message.message == WM_QUIT) return 0;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
}
