// uiWindow: a top-level window whose client area holds one child control.
#include "uipriv_windows.hpp"

struct uiWindow {
  uiprivWindowsControl base;
  uiControl* child;
  int margined;
  int (*onClosing)(uiWindow* w, void* data);
  void* onClosingData;
  int shownOnce;
};

namespace {

constexpr int WINDOW_MARGIN_DLU = 7;

int default_on_closing(uiWindow*, void*) {
  return 0;
}

// The margin around the child, in pixels, for this window's font.
void margins(uiWindow* w, int* mx, int* my) {
  *mx = 0;
  *my = 0;
  if (!w->margined) return;
  uiprivDialogUnits du = uiprivGetDialogUnits(w->base.hwnd);
  *mx = uiprivDlgUnitsToX(WINDOW_MARGIN_DLU, du.baseX);
  *my = uiprivDlgUnitsToY(WINDOW_MARGIN_DLU, du.baseY);
}

// The smallest client size that fits the child and the margins.
void minimum_client_size(uiWindow* w, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (w->child != nullptr && uiControlVisible(w->child))
    uiprivControlMinimumSize(w->child, width, height);
  int mx, my;
  margins(w, &mx, &my);
  *width += 2 * mx;
  *height += 2 * my;
}

// The outer size of a window with this client size and the window's current styles.
bool window_size_for_client(HWND hwnd, int width, int height, int* outer_w, int* outer_h) {
  RECT r = {0, 0, width, height};
  DWORD style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  DWORD exstyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  if (AdjustWindowRectEx(&r, style, FALSE, exstyle) == 0) {
    logLastError("error adjusting window rect");
    return false;
  }
  *outer_w = r.right - r.left;
  *outer_h = r.bottom - r.top;
  return true;
}

void set_client_size(HWND hwnd, int width, int height) {
  int ow, oh;
  if (!window_size_for_client(hwnd, width, height, &ow, &oh)) return;
  if (SetWindowPos(hwnd, nullptr, 0, 0, ow, oh,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER) == 0)
    logLastError("error resizing window");
}

// Changing the frame styles keeps the client size (and the position): the content is what the
// program sized the window for.
void set_style_keeping_client(HWND hwnd, LONG_PTR style) {
  RECT client;
  if (GetClientRect(hwnd, &client) == 0) {
    logLastError("error getting client rect");
    return;
  }
  SetLastError(0);
  if (SetWindowLongPtrW(hwnd, GWL_STYLE, style) == 0 && GetLastError() != 0)
    logLastError("error setting window style");
  int ow, oh;
  if (!window_size_for_client(hwnd, client.right - client.left, client.bottom - client.top, &ow,
                              &oh))
    return;
  if (SetWindowPos(
          hwnd, nullptr, 0, 0, ow, oh,
          SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER) == 0)
    logLastError("error applying window style");
}

LONG_PTR get_style(HWND hwnd) {
  return GetWindowLongPtrW(hwnd, GWL_STYLE);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* w = reinterpret_cast<uiWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (w == nullptr) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  switch (msg) {
    case WM_SIZE:
      uiprivWindowRelayout(w);
      return 0;
    case WM_GETMINMAXINFO: {
      int cw, ch, ow, oh;
      minimum_client_size(w, &cw, &ch);
      if (window_size_for_client(hwnd, cw, ch, &ow, &oh)) {
        auto* mmi = reinterpret_cast<MINMAXINFO*>(lp);
        if (mmi->ptMinTrackSize.x < ow) mmi->ptMinTrackSize.x = ow;
        if (mmi->ptMinTrackSize.y < oh) mmi->ptMinTrackSize.y = oh;
      }
      return 0;
    }
    case WM_CLOSE:
      // The handler decides; the default keeps the window.
      if (w->onClosing(w, w->onClosingData)) uiControlDestroy(uiControl(w));
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void window_destroy(uiprivWindowsControl* c) {
  auto* w = reinterpret_cast<uiWindow*>(c);
  if (w->child != nullptr) {
    uiControl* child = w->child;
    w->child = nullptr;
    uiprivControlSetParent(child, nullptr, nullptr);
    uiControlDestroy(child);
  }
  SetWindowLongPtrW(c->hwnd, GWLP_USERDATA, 0);
  if (DestroyWindow(c->hwnd) == 0) logLastError("error destroying window");
  uiprivFree(w);
}

void window_minimum_size(uiprivWindowsControl* c, int* width, int* height) {
  minimum_client_size(reinterpret_cast<uiWindow*>(c), width, height);
}

// A top-level window is never placed inside another control.
void window_layout(uiprivWindowsControl*, int, int, int, int) {}
void window_set_parent_hwnd(uiprivWindowsControl*, HWND) {
  uiprivLogLine("a uiWindow cannot have a parent");
}

void window_show(uiControl* c) {
  auto* w = uiWindow(c);
  w->base.visible = 1;
  if (w->shownOnce) {
    ShowWindow(w->base.hwnd, SW_SHOW);
    return;
  }
  w->shownOnce = 1;
  // Grow (never shrink) the client to the child's minimum size, keeping the position.
  RECT client;
  if (GetClientRect(w->base.hwnd, &client) != 0) {
    int mw, mh;
    minimum_client_size(w, &mw, &mh);
    if (mw > client.right || mh > client.bottom)
      set_client_size(w->base.hwnd, mw > client.right ? mw : client.right,
                      mh > client.bottom ? mh : client.bottom);
  }
  ShowWindow(w->base.hwnd, uiprivShowCommand);
  if (UpdateWindow(w->base.hwnd) == 0) logLastError("error calling UpdateWindow() after showing");
}

void window_hide(uiControl* c) {
  uiWindow(c)->base.visible = 0;
  ShowWindow(uiprivControl(c)->hwnd, SW_HIDE);
}

const uiprivControlOps WINDOW_OPS = {window_destroy, window_minimum_size, window_layout,
                                     window_set_parent_hwnd};

}  // namespace

ATOM uiprivRegisterWindowClass(void) {
  WNDCLASSW wc = {};
  wc.lpszClassName = uiprivWindowClass;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = uiprivInstance;
  wc.hIcon = uiprivDefaultIcon;
  wc.hCursor = uiprivDefaultCursor;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  return RegisterClassW(&wc);
}

void uiprivWindowRelayout(uiWindow* w) {
  if (w->child == nullptr) return;
  RECT client;
  if (GetClientRect(w->base.hwnd, &client) == 0) {
    logLastError("error getting window client rect for layout");
    return;
  }
  int mx, my;
  margins(w, &mx, &my);
  uiprivControlLayout(w->child, mx, my, client.right - 2 * mx, client.bottom - 2 * my);
}

extern "C" void uiWindowOnClosing(uiWindow* w, int (*f)(uiWindow*, void*), void* data) {
  w->onClosing = f != nullptr ? f : default_on_closing;
  w->onClosingData = data;
}

extern "C" void uiWindowSetMargined(uiWindow* w, int margined) {
  w->margined = margined;
  uiprivWindowRelayout(w);
}

extern "C" void uiWindowSetBorderless(uiWindow* w, int borderless) {
  LONG_PTR style = get_style(w->base.hwnd);
  if (borderless)
    style &= ~static_cast<LONG_PTR>(WS_OVERLAPPEDWINDOW);
  else
    style |= WS_OVERLAPPEDWINDOW;
  set_style_keeping_client(w->base.hwnd, style);
}

extern "C" void uiWindowSetResizeable(uiWindow* w, int resizeable) {
  LONG_PTR style = get_style(w->base.hwnd);
  if (resizeable)
    style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
  else
    style &= ~static_cast<LONG_PTR>(WS_THICKFRAME | WS_MAXIMIZEBOX);
  set_style_keeping_client(w->base.hwnd, style);
}

extern "C" void uiWindowSetPosition(uiWindow* w, int x, int y) {
  if (SetWindowPos(w->base.hwnd, nullptr, x, y, 0, 0,
                   SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_NOSIZE | SWP_NOZORDER) == 0)
    logLastError("error moving window");
}

extern "C" void uiWindowSetChild(uiWindow* w, uiControl* child) {
  if (w->child != nullptr) uiprivControlSetParent(w->child, nullptr, nullptr);
  w->child = child;
  if (child != nullptr) {
    uiprivControlSetParent(child, uiControl(w), w->base.hwnd);
    uiprivWindowRelayout(w);
  }
}

extern "C" uintptr_t uiWindowFindToplevel(const char* title) {
  wchar_t* wtitle = uiprivToUTF16(title);
  HWND found = FindWindowW(uiprivWindowClass, wtitle);
  uiprivFree(wtitle);
  return reinterpret_cast<uintptr_t>(found);
}

extern "C" uiWindow* uiNewWindow(const char* title, int width, int height, int hasMenubar) {
  (void)hasMenubar;  // menus are not part of this toolkit subset
  auto* w = uiprivNew<uiWindow>("uiWindow");
  uiprivInitControl(&w->base, uiprivWindowSignature, &WINDOW_OPS, 1);
  w->base.c.Show = window_show;
  w->base.c.Hide = window_hide;
  w->onClosing = default_on_closing;

  wchar_t* wtitle = uiprivToUTF16(title);
  w->base.hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, uiprivWindowClass, wtitle,
                                 WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, width, height,
                                 nullptr, nullptr, uiprivInstance, w);
  uiprivFree(wtitle);
  if (w->base.hwnd == nullptr) {
    logLastError("error creating window");
    return w;
  }
  set_client_size(w->base.hwnd, width, height);
  return w;
}
