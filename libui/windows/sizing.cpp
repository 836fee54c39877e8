// Dialog units: lengths that follow the message font, as the system's dialogs do.
#include "uipriv_windows.hpp"

uiprivDialogUnits uiprivGetDialogUnits(HWND hwnd) {
  // Defaults of the common 8-point font, used when the measurement fails.
  uiprivDialogUnits units = {6, 13};
  HDC dc = GetDC(hwnd);
  if (dc == nullptr) {
    logLastError("error getting DC for dialog unit calculation");
    return units;
  }
  HGDIOBJ previous = SelectObject(dc, uiprivMessageFont);
  TEXTMETRICW tm;
  SIZE size;
  if (GetTextMetricsW(dc, &tm) == 0) {
    logLastError("error getting text metrics for dialog unit calculation");
  } else if (GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                                   &size) == 0) {
    logLastError("error getting text extent for dialog unit calculation");
  } else {
    units.baseX = (static_cast<int>(size.cx) / 26 + 1) / 2;
    units.baseY = static_cast<int>(tm.tmHeight);
  }
  SelectObject(dc, previous);
  ReleaseDC(hwnd, dc);
  return units;
}

int uiprivDlgUnitsToX(int units, int baseX) {
  return MulDiv(units, baseX, 4);
}
int uiprivDlgUnitsToY(int units, int baseY) {
  return MulDiv(units, baseY, 8);
}
