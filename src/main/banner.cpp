#include "main/banner.h"

#include <windows.h>

#include <wincodec.h>

#include "main/com_ref.h"

namespace quorvel {

namespace {

// COM for the decoder, balanced on every path. The toolkit initialises COM again later on this
// thread; that nests.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

Error hresult_error(HRESULT hr) {
  return Error::os(static_cast<int32_t>(hr));
}

void ignore_mouse(uiAreaHandler*, uiArea*, uiAreaMouseEvent*) {}
void ignore_crossing(uiAreaHandler*, uiArea*, int) {}
void ignore_drag_broken(uiAreaHandler*, uiArea*) {}
int swallow_key(uiAreaHandler*, uiArea*, uiAreaKeyEvent*) {
  return 1;
}

}  // namespace

std::span<const uint8_t> banner_png() {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, L"BANNER_PNG", MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (info == nullptr) return {};
  HGLOBAL data = LoadResource(module, info);
  DWORD size = SizeofResource(module, info);
  const void* bytes = data != nullptr ? LockResource(data) : nullptr;
  if (bytes == nullptr) return {};
  return {static_cast<const uint8_t*>(bytes), size};
}

Result<BannerImage> decode_png(std::span<const uint8_t> png) {
  if (png.empty()) return Error::kind(ErrorKind::NotFound, "the PNG data is missing");
  ComApartment com;
  if (FAILED(com.result()) && com.result() != RPC_E_CHANGED_MODE)
    return hresult_error(com.result());

  ComRef<IWICImagingFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory.put_void());
  if (FAILED(hr)) return hresult_error(hr);

  ComRef<IWICStream> stream;
  hr = factory->CreateStream(stream.put());
  if (FAILED(hr)) return hresult_error(hr);
  // WIC reads the bytes in place; they outlive the stream.
  hr = stream->InitializeFromMemory(const_cast<BYTE*>(png.data()), static_cast<DWORD>(png.size()));
  if (FAILED(hr)) return hresult_error(hr);

  ComRef<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                        decoder.put());
  if (FAILED(hr)) return hresult_error(hr);
  ComRef<IWICBitmapFrameDecode> frame;
  hr = decoder->GetFrame(0, frame.put());
  if (FAILED(hr)) return hresult_error(hr);

  UINT width = 0, height = 0;
  hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return hresult_error(hr);
  if (width == 0 || height == 0 || width > 16384 || height > 16384)
    return Error::kind(ErrorKind::InvalidData, "the PNG image has an unusable size");

  // Whatever the frame's native layout, the pixels come out as straight R, G, B, A bytes.
  // (The factory's converter rather than WICConvertBitmapSource, which would make
  // WindowsCodecs.dll an import, looked up in the program's folder first.)
  ComRef<IWICFormatConverter> rgba;
  hr = factory->CreateFormatConverter(rgba.put());
  if (FAILED(hr)) return hresult_error(hr);
  hr = rgba->Initialize(frame.get(), GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr,
                        0.0, WICBitmapPaletteTypeCustom);
  if (FAILED(hr)) return hresult_error(hr);

  BannerImage image;
  image.width = width;
  image.height = height;
  const UINT stride = width * 4;
  image.pixels.resize(static_cast<size_t>(stride) * height);
  hr = rgba->CopyPixels(nullptr, stride, static_cast<UINT>(image.pixels.size()),
                        image.pixels.data());
  if (FAILED(hr)) return hresult_error(hr);
  return image;
}

Result<BannerImage> decode_banner() {
  return decode_png(banner_png());
}

void draw_banner(uiAreaHandler* handler, uiArea*, uiAreaDrawParams* params) {
  const BannerImage& image = reinterpret_cast<BannerHandler*>(handler)->image;
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  uiImageBuffer* buffer = uiNewImageBuffer(params->Context, width, height, 1);
  uiImageBufferUpdate(buffer, image.pixels.data());
  uiRect source = {0, 0, width, height};
  uiRect destination = {0, 0, width, height};
  uiImageBufferDraw(params->Context, buffer, &source, &destination);
  uiFreeImageBuffer(buffer);
}

BannerHandler* new_banner_handler(BannerImage image) {
  auto* h = new BannerHandler{};
  h->handler.Draw = draw_banner;
  h->handler.MouseEvent = ignore_mouse;
  h->handler.MouseCrossed = ignore_crossing;
  h->handler.DragBroken = ignore_drag_broken;
  h->handler.KeyEvent = swallow_key;
  h->image = std::move(image);
  return h;
}

}  // namespace quorvel
