// The container window class: a plain child window that holds the child windows of a box.
#include "uipriv_windows.hpp"

namespace {

LRESULT CALLBACK container_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    // Notifications of the controls inside go to the top-level window, as if the container were
    // not there.
    case WM_COMMAND:
    case WM_NOTIFY: {
      HWND root = GetAncestor(hwnd, GA_ROOT);
      if (root != nullptr && root != hwnd) return SendMessageW(root, msg, wp, lp);
      break;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

ATOM uiprivRegisterContainerClass(void) {
  WNDCLASSW wc = {};
  wc.lpszClassName = uiprivContainerClass;
  wc.lpfnWndProc = container_proc;
  wc.hInstance = uiprivInstance;
  wc.hIcon = uiprivDefaultIcon;
  wc.hCursor = uiprivDefaultCursor;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  return RegisterClassW(&wc);
}

void uiprivUnregisterClasses(void) {
  UnregisterClassW(uiprivAreaClass, uiprivInstance);
  UnregisterClassW(uiprivContainerClass, uiprivInstance);
  UnregisterClassW(uiprivWindowClass, uiprivInstance);
}
