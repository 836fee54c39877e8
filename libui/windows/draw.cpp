// Drawing contexts and the image buffer: a Direct2D bitmap of R, G, B, A bytes supplied by the
// program, drawn into rectangles of an area during one draw event.
#include "uipriv_windows.hpp"

struct uiImageBuffer {
  int32_t width;
  int32_t height;
  int32_t pitch;
  ID2D1Bitmap* bitmap;  // null when creating it failed; the buffer then draws nothing
};

uiDrawContext* uiprivNewDrawContext(ID2D1RenderTarget* rt) {
  auto* c = uiprivNew<uiDrawContext>("uiDrawContext");
  c->rt = rt;
  return c;
}

void uiprivFreeDrawContext(uiDrawContext* c) {
  uiprivFree(c);
}

extern "C" uiImageBuffer* uiNewImageBuffer(uiDrawContext* c, int width, int height, int alpha) {
  auto* buf = uiprivNew<uiImageBuffer>("uiImageBuffer");
  // A size no bitmap can have (negative, or a row pitch beyond 32 bits) fails like CreateBitmap
  // would, without handing Direct2D a wrapped-around size.
  HRESULT hr = E_INVALIDARG;
  if (width >= 0 && height >= 0 && width <= INT32_MAX / 4) {
    D2D1_BITMAP_PROPERTIES props = {};
    props.pixelFormat.format = DXGI_FORMAT_R8G8B8A8_UNORM;
    props.pixelFormat.alphaMode = alpha ? D2D1_ALPHA_MODE_PREMULTIPLIED : D2D1_ALPHA_MODE_IGNORE;
    props.dpiX = 0;
    props.dpiY = 0;
    D2D1_SIZE_U size = {static_cast<UINT32>(width), static_cast<UINT32>(height)};
    hr = c->rt->CreateBitmap(size, nullptr, 0, &props, &buf->bitmap);
  }
  if (FAILED(hr)) {
    uiprivLogHRESULT("libui/windows/draw.cpp", "531", "uiNewImageBuffer",
                     "error creating ImageBuffer", hr);
    buf->bitmap = nullptr;
  }
  buf->width = width;
  buf->height = height;
  buf->pitch = buf->bitmap != nullptr ? width * 4 : 0;
  return buf;
}

extern "C" void uiImageBufferUpdate(uiImageBuffer* buf, const void* data) {
  if (buf->bitmap == nullptr) return;
  D2D1_RECT_U rect = {0, 0, static_cast<UINT32>(buf->width), static_cast<UINT32>(buf->height)};
  buf->bitmap->CopyFromMemory(&rect, data, static_cast<UINT32>(buf->pitch));
}

void uiprivImageBufferDrawMode(uiDrawContext* c, uiImageBuffer* buf, uiRect* srcrect,
                               uiRect* dstrect, int interpolationMode) {
  if (buf->bitmap == nullptr) return;
  // The sums are formed on integers first (wide enough not to overflow), then converted.
  auto edge = [](int origin, int length) {
    return static_cast<float>(static_cast<int64_t>(origin) + length);
  };
  D2D1_RECT_F src = {static_cast<float>(srcrect->X), static_cast<float>(srcrect->Y),
                     edge(srcrect->X, srcrect->Width), edge(srcrect->Y, srcrect->Height)};
  D2D1_RECT_F dst = {static_cast<float>(dstrect->X), static_cast<float>(dstrect->Y),
                     edge(dstrect->X, dstrect->Width), edge(dstrect->Y, dstrect->Height)};
  c->rt->DrawBitmap(buf->bitmap, &dst, 1.0f,
                    static_cast<D2D1_BITMAP_INTERPOLATION_MODE>(interpolationMode), &src);
}

extern "C" void uiImageBufferDraw(uiDrawContext* c, uiImageBuffer* buf, uiRect* srcrect,
                                  uiRect* dstrect) {
  uiprivImageBufferDrawMode(c, buf, srcrect, dstrect,
                            D2D1_BITMAP_INTERPOLATION_MODE_NEAREST_NEIGHBOR);
}

extern "C" void uiFreeImageBuffer(uiImageBuffer* buf) {
  if (buf == nullptr) return;
  if (buf->bitmap != nullptr) buf->bitmap->Release();
  uiprivFree(buf);
}
