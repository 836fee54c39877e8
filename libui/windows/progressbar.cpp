// uiProgressBar: the common controls' smooth progress bar, range 0 to 100.
#include "uipriv_windows.hpp"

struct uiProgressBar {
  uiprivWindowsControl base;
  int value;
  WNDPROC control_proc;  // the common control's own, behind skip_step_paint
  bool stepping;         // set while the bar is stepped past its new value
};

namespace {

constexpr int PROGRESS_BAR_MIN_WIDTH_DLU = 150;
constexpr int PROGRESS_BAR_MIN_HEIGHT_DLU = 8;

// The control paints inside PBM_SETPOS. The value one past the new one, set only to cut the themed
// bar's animation short, is never meant to be seen: its paint is skipped, leaving the area invalid
// for the paint of the new value that follows at once. Under Wine a paint of the bar costs about
// as much as the rest of a value change.
LRESULT CALLBACK skip_step_paint(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* p = reinterpret_cast<uiProgressBar*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (p == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  if (msg == WM_PAINT && p->stepping) return 0;
  return CallWindowProcW(p->control_proc, hwnd, msg, wp, lp);
}

void progressbar_destroy(uiprivWindowsControl* c) {
  auto* p = reinterpret_cast<uiProgressBar*>(c);
  if (c->hwnd != nullptr && p->control_proc != nullptr) {
    SetWindowLongPtrW(c->hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(p->control_proc));
    SetWindowLongPtrW(c->hwnd, GWLP_USERDATA, 0);
  }
  if (c->hwnd != nullptr && DestroyWindow(c->hwnd) == 0)
    logLastError("error destroying progress bar");
  uiprivFree(c);
}

void progressbar_minimum_size(uiprivWindowsControl* c, int* width, int* height) {
  uiprivDialogUnits du = uiprivGetDialogUnits(c->hwnd);
  *width = uiprivDlgUnitsToX(PROGRESS_BAR_MIN_WIDTH_DLU, du.baseX);
  *height = uiprivDlgUnitsToY(PROGRESS_BAR_MIN_HEIGHT_DLU, du.baseY);
}

void progressbar_layout(uiprivWindowsControl* c, int x, int y, int width, int height) {
  if (MoveWindow(c->hwnd, x, y, width, height, TRUE) == 0)
    logLastError("error moving progress bar");
}

void progressbar_set_parent_hwnd(uiprivWindowsControl* c, HWND parent) {
  if (SetParent(c->hwnd, parent) == nullptr) logLastError("error reparenting progress bar");
}

const uiprivControlOps PROGRESSBAR_OPS = {progressbar_destroy, progressbar_minimum_size,
                                          progressbar_layout, progressbar_set_parent_hwnd};

void set_marquee(uiProgressBar* p, bool on) {
  LONG_PTR style = GetWindowLongPtrW(p->base.hwnd, GWL_STYLE);
  LONG_PTR wanted = on ? (style | PBS_MARQUEE) : (style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  if (wanted != style) SetWindowLongPtrW(p->base.hwnd, GWL_STYLE, wanted);
  SendMessageW(p->base.hwnd, PBM_SETMARQUEE, on ? TRUE : FALSE, 0);
}

}  // namespace

extern "C" int uiProgressBarValue(uiProgressBar* p) {
  return p->value;
}

extern "C" void uiProgressBarSetValue(uiProgressBar* p, int n) {
  if (n == -1) {
    p->value = -1;
    set_marquee(p, true);
    return;
  }
  if (p->value == -1) set_marquee(p, false);
  if (n < 0 || n > 100) {
    uiprivLogLine("uiProgressBarSetValue: value out of range 0..100; clamped");
    n = n < 0 ? 0 : 100;
  }
  // The bar already shows this value: setting it again would only repaint the same pixels.
  if (n == p->value) return;
  p->value = n;
  // The themed bar animates towards a new value; stepping past it and back shows it at once.
  HWND hwnd = p->base.hwnd;
  p->stepping = true;
  if (n == 100) {
    SendMessageW(hwnd, PBM_SETRANGE32, 0, 101);
    SendMessageW(hwnd, PBM_SETPOS, 101, 0);
    p->stepping = false;
    SendMessageW(hwnd, PBM_SETPOS, 100, 0);
    SendMessageW(hwnd, PBM_SETRANGE32, 0, 100);
    return;
  }
  SendMessageW(hwnd, PBM_SETPOS, static_cast<WPARAM>(n + 1), 0);
  p->stepping = false;
  SendMessageW(hwnd, PBM_SETPOS, static_cast<WPARAM>(n), 0);
}

extern "C" uiProgressBar* uiNewProgressBar(void) {
  auto* p = uiprivNew<uiProgressBar>("uiProgressBar");
  uiprivInitControl(&p->base, uiprivProgressBarSignature, &PROGRESSBAR_OPS, 0);
  p->base.hwnd = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0,
                                 100, 20, uiprivUtilWindow, nullptr, uiprivInstance, nullptr);
  if (p->base.hwnd == nullptr) {
    logLastError("error creating progress bar");
    return p;
  }
  SendMessageW(p->base.hwnd, PBM_SETRANGE32, 0, 100);
  SendMessageW(p->base.hwnd, PBM_SETPOS, 0, 0);
  SetWindowLongPtrW(p->base.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(p));
  p->control_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(p->base.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(skip_step_paint)));
  return p;
}
