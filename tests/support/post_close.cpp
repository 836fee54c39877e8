// post_close: posts WM_CLOSE to the toolkit window titled "Downloader". Exit status 0 when posted,
// 1 when no such window exists.
#include <windows.h>

#include "ui.h"

int main() {
  auto hwnd = reinterpret_cast<HWND>(uiWindowFindToplevel("Downloader"));
  if (hwnd == nullptr) return 1;
  return PostMessageW(hwnd, WM_CLOSE, 0, 0) != 0 ? 0 : 2;
}
