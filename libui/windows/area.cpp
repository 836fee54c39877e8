// uiArea: a child window the program draws into. Drawing goes through a Direct2D DC render target
// bound to the paint DC at the client's exact pixel size, so one drawing unit is one pixel and
// nothing is stretched.
#include "uipriv_windows.hpp"

struct uiArea {
  uiprivWindowsControl base;
  uiAreaHandler* ah;
  ID2D1DCRenderTarget* rt;  // created on first paint, dropped when the device is lost
};

HRESULT uiprivCreateAreaRenderTarget(ID2D1DCRenderTarget** rt) {
  D2D1_RENDER_TARGET_PROPERTIES props = {};
  props.type = D2D1_RENDER_TARGET_TYPE_DEFAULT;
  props.pixelFormat.format = DXGI_FORMAT_B8G8R8A8_UNORM;
  props.pixelFormat.alphaMode = D2D1_ALPHA_MODE_IGNORE;
  props.dpiX = 96;
  props.dpiY = 96;
  props.usage = D2D1_RENDER_TARGET_USAGE_NONE;
  props.minLevel = D2D1_FEATURE_LEVEL_DEFAULT;
  return uiprivD2DFactory->CreateDCRenderTarget(&props, rt);
}

namespace {

void release_target(uiArea* a) {
  if (a->rt != nullptr) {
    a->rt->Release();
    a->rt = nullptr;
  }
}

bool ensure_target(uiArea* a) {
  if (a->rt != nullptr) return true;
  HRESULT hr = uiprivCreateAreaRenderTarget(&a->rt);
  if (hr != S_OK) {
    logHRESULT("error creating area DC render target", hr);
    a->rt = nullptr;
    return false;
  }
  return true;
}

D2D1_COLOR_F button_face(void) {
  DWORD c = GetSysColor(COLOR_BTNFACE);
  return D2D1_COLOR_F{GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f};
}

// Returns false when the device was lost and the area must be painted again.
bool paint(uiArea* a, HDC dc, const RECT& update) {
  RECT client;
  if (GetClientRect(a->base.hwnd, &client) == 0) {
    logLastError("error getting area client rect");
    return true;
  }
  if (client.right <= 0 || client.bottom <= 0) return true;
  if (!ensure_target(a)) return true;
  HRESULT hr = a->rt->BindDC(dc, &client);
  if (hr != S_OK) {
    logHRESULT("error binding area render target to the paint DC", hr);
    release_target(a);
    return true;
  }
  a->rt->BeginDraw();
  a->rt->SetTransform(D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0});
  a->rt->Clear(button_face());

  uiDrawContext* ctx = uiprivNewDrawContext(a->rt);
  uiAreaDrawParams dp = {};
  dp.Context = ctx;
  dp.AreaWidth = client.right;
  dp.AreaHeight = client.bottom;
  dp.ClipX = update.left;
  dp.ClipY = update.top;
  dp.ClipWidth = update.right - update.left;
  dp.ClipHeight = update.bottom - update.top;
  if (a->ah != nullptr && a->ah->Draw != nullptr) a->ah->Draw(a->ah, a, &dp);
  uiprivFreeDrawContext(ctx);

  D2D1_TAG tag1, tag2;
  hr = a->rt->EndDraw(&tag1, &tag2);
  if (hr == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
    release_target(a);
    return false;
  }
  if (hr != S_OK) logHRESULT("error drawing area", hr);
  return true;
}

uiModifiers current_modifiers(void) {
  uiModifiers m = 0;
  if (GetKeyState(VK_CONTROL) & 0x8000) m |= uiModifierCtrl;
  if (GetKeyState(VK_MENU) & 0x8000) m |= uiModifierAlt;
  if (GetKeyState(VK_SHIFT) & 0x8000) m |= uiModifierShift;
  if ((GetKeyState(VK_LWIN) | GetKeyState(VK_RWIN)) & 0x8000) m |= uiModifierSuper;
  return m;
}

bool key_event(uiArea* a, WPARAM vk, bool up) {
  if (a->ah == nullptr || a->ah->KeyEvent == nullptr) return false;
  uiAreaKeyEvent ke = {};
  if (vk >= VK_F1 && vk <= VK_F12)
    ke.ExtKey = uiExtKeyF1 + static_cast<int>(vk - VK_F1);
  else if (vk == VK_ESCAPE)
    ke.ExtKey = uiExtKeyEscape;
  else if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z'))
    ke.Key = static_cast<char>(vk >= 'A' ? vk - 'A' + 'a' : vk);
  else if (vk == VK_SPACE)
    ke.Key = ' ';
  ke.Modifiers = current_modifiers();
  ke.Up = up ? 1 : 0;
  return a->ah->KeyEvent(a->ah, a, &ke) != 0;
}

void mouse_event(uiArea* a, UINT msg, LPARAM lp) {
  if (a->ah == nullptr || a->ah->MouseEvent == nullptr) return;
  RECT client;
  GetClientRect(a->base.hwnd, &client);
  uiAreaMouseEvent me = {};
  me.X = static_cast<short>(LOWORD(lp));
  me.Y = static_cast<short>(HIWORD(lp));
  me.AreaWidth = client.right;
  me.AreaHeight = client.bottom;
  switch (msg) {
    case WM_LBUTTONDOWN:
      me.Down = 1;
      me.Count = 1;
      break;
    case WM_RBUTTONDOWN:
      me.Down = 3;
      me.Count = 1;
      break;
    case WM_LBUTTONUP:
      me.Up = 1;
      break;
    case WM_RBUTTONUP:
      me.Up = 3;
      break;
  }
  me.Modifiers = current_modifiers();
  if (GetKeyState(VK_LBUTTON) & 0x8000) me.Held1To64 |= 1;
  if (GetKeyState(VK_RBUTTON) & 0x8000) me.Held1To64 |= 4;
  a->ah->MouseEvent(a->ah, a, &me);
}

LRESULT CALLBACK area_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* a = reinterpret_cast<uiArea*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (a == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (dc == nullptr) {
        logLastError("error beginning area paint");
        ValidateRect(hwnd, nullptr);
        return 0;
      }
      bool done = paint(a, dc, ps.rcPaint);
      EndPaint(hwnd, &ps);
      if (!done) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    }
    case WM_PRINTCLIENT: {
      RECT client;
      GetClientRect(hwnd, &client);
      paint(a, reinterpret_cast<HDC>(wp), client);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // every paint covers the whole client area
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      mouse_event(a, msg, lp);
      return 0;
    case WM_KEYDOWN:
    case WM_KEYUP:
      // System keys (Alt+F4 and the like) always reach the system, so the window stays closable.
      if (key_event(a, wp, msg == WM_KEYUP)) return 0;
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void area_destroy(uiprivWindowsControl* c) {
  auto* a = reinterpret_cast<uiArea*>(c);
  release_target(a);
  if (c->hwnd != nullptr) {
    SetWindowLongPtrW(c->hwnd, GWLP_USERDATA, 0);
    if (DestroyWindow(c->hwnd) == 0) logLastError("error destroying area");
  }
  uiprivFree(a);
}

void area_minimum_size(uiprivWindowsControl*, int* width, int* height) {
  *width = 0;
  *height = 0;
}

void area_layout(uiprivWindowsControl* c, int x, int y, int width, int height) {
  if (MoveWindow(c->hwnd, x, y, width, height, TRUE) == 0) logLastError("error moving area");
}

void area_set_parent_hwnd(uiprivWindowsControl* c, HWND parent) {
  if (SetParent(c->hwnd, parent) == nullptr) logLastError("error reparenting area");
}

const uiprivControlOps AREA_OPS = {area_destroy, area_minimum_size, area_layout,
                                   area_set_parent_hwnd};

}  // namespace

ATOM uiprivRegisterAreaClass(void) {
  WNDCLASSW wc = {};
  wc.lpszClassName = uiprivAreaClass;
  wc.lpfnWndProc = area_proc;
  wc.hInstance = uiprivInstance;
  wc.hIcon = uiprivDefaultIcon;
  wc.hCursor = uiprivDefaultCursor;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  return RegisterClassW(&wc);
}

extern "C" void uiAreaQueueRedrawAll(uiArea* a) {
  if (InvalidateRect(a->base.hwnd, nullptr, FALSE) == 0) logLastError("error queueing area redraw");
}

extern "C" uiArea* uiNewArea(uiAreaHandler* ah) {
  auto* a = uiprivNew<uiArea>("uiArea");
  uiprivInitControl(&a->base, uiprivAreaSignature, &AREA_OPS, 0);
  a->ah = ah;
  a->base.hwnd = CreateWindowExW(0, uiprivAreaClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 100,
                                 uiprivUtilWindow, nullptr, uiprivInstance, nullptr);
  if (a->base.hwnd == nullptr) {
    logLastError("error creating area");
    return a;
  }
  SetWindowLongPtrW(a->base.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(a));
  return a;
}
