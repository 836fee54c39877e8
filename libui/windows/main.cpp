// The message loop: blocking, stepwise, and quitting.
#include "uipriv_windows.hpp"

namespace {

// Offers the message to the keyboard navigation of its top-level window first.
void dispatch(MSG* msg) {
  HWND root = msg->hwnd != nullptr ? GetAncestor(msg->hwnd, GA_ROOT) : nullptr;
  if (root != nullptr && IsDialogMessageW(root, msg) != 0) return;
  TranslateMessage(msg);
  DispatchMessageW(msg);
}

}  // namespace

extern "C" int uiMainStep(int wait) {
  MSG msg;
  if (wait) {
    BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == -1) {
      logLastError("error getting next message");
      return 1;
    }
    if (r == 0) return 0;
  } else {
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) == 0) return 1;
    if (msg.message == WM_QUIT) return 0;
  }
  dispatch(&msg);
  return 1;
}

extern "C" void uiMain(void) {
  while (uiMainStep(1)) {
  }
}

// Stepping needs no preparation on Windows.
extern "C" void uiMainSteps(void) {}

extern "C" void uiQuit(void) {
  PostQuitMessage(0);
}
