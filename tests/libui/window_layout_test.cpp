// Windows, boxes, areas and progress bars as real Win32 windows, and the message loop.
#include <gtest/gtest.h>

#include "../../libui/windows/uipriv_windows.hpp"
#include "support/toolkit_test.h"

#include <shlwapi.h>
#include <wctype.h>

#include <string>

namespace {

HWND hwnd_of(void* control) {
  return reinterpret_cast<HWND>(uiControlHandle(uiControl(control)));
}

RECT client_rect(HWND hwnd) {
  RECT r = {};
  GetClientRect(hwnd, &r);
  return r;
}

// Child position in its parent's client coordinates.
RECT child_rect(HWND child) {
  RECT r = {};
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Handles what is waiting (sizing, painting) without blocking.
void pump() {
  for (int i = 0; i < 200; ++i) uiMainStep(0);
}

void draw_nothing(uiAreaHandler*, uiArea*, uiAreaDrawParams*) {}

class WindowTest : public quorvel::test::ToolkitTest {};

TEST_F(WindowTest, EveryWindowClassCarriesTheProgramIcon) {
  HICON program_icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"ICON_NAME",
                                                     IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  ASSERT_NE(program_icon, nullptr);
  uiWindow* w = uiNewWindow("icon", 100, 50, 0);
  uiAreaHandler handler = {draw_nothing, nullptr, nullptr, nullptr, nullptr};
  uiArea* area = uiNewArea(&handler);
  uiBox* box = uiNewVerticalBox();
  for (HWND hwnd : {hwnd_of(w), hwnd_of(area), hwnd_of(box)})
    EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(hwnd, GCLP_HICON)), program_icon);
  uiControlDestroy(uiControl(area));
  uiControlDestroy(uiControl(box));
  uiControlDestroy(uiControl(w));
}

TEST_F(WindowTest, CommonControlsSixAreInUse) {
  // The manifest makes the process's default activation context resolve "comctl32.dll" to the
  // side-by-side Common Controls 6 assembly. (Wine's copy reports 5.x from DllGetVersion, so the
  // check is on where the library was loaded from.)
  HMODULE comctl = LoadLibraryW(L"comctl32.dll");
  ASSERT_NE(comctl, nullptr);
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(comctl, path, MAX_PATH), 0u);
  std::wstring lower(path);
  for (wchar_t& c : lower) c = towlower(c);
  EXPECT_NE(lower.find(L"\\winsxs\\"), std::wstring::npos) << lower.c_str();
  EXPECT_NE(lower.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6."),
            std::wstring::npos)
      << lower.c_str();
  FreeLibrary(comctl);
}

TEST_F(WindowTest, SecondInitialisationIsRefused) {
  uiInitOptions options = {};
  options.Size = 8;
  const char* err = uiInit(&options);
  ASSERT_NE(err, nullptr);
  uiFreeInitError(err);
}

TEST_F(WindowTest, NewWindowHasTheRequestedClientSizeAndStartsHidden) {
  uiWindow* w = uiNewWindow("Downloader", 300, 169, 0);
  HWND hwnd = hwnd_of(w);
  ASSERT_NE(hwnd, nullptr);
  RECT client = client_rect(hwnd);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 169);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  wchar_t title[32] = {};
  GetWindowTextW(hwnd, title, 32);
  EXPECT_STREQ(title, L"Downloader");
  EXPECT_TRUE(GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CAPTION);
  uiControlDestroy(uiControl(w));
}

TEST_F(WindowTest, AToplevelWindowIsFoundByItsWholeTitleWhileItExists) {
  const char* title = "window_layout_test: find me";  // no other program's window
  uiWindow* w = uiNewWindow(title, 100, 50, 0);
  EXPECT_EQ(reinterpret_cast<HWND>(uiWindowFindToplevel(title)), hwnd_of(w));
  EXPECT_EQ(uiWindowFindToplevel("window_layout_test: find"), 0u);
  uiControlDestroy(uiControl(w));
  EXPECT_EQ(uiWindowFindToplevel(title), 0u);
}

TEST_F(WindowTest, VerticalBoxGivesTheBarItsMinimumHeightAndTheAreaTheRest) {
  uiWindow* w = uiNewWindow("Downloader", 300, 169, 0);
  uiWindowSetBorderless(w, 1);
  uiBox* box = uiNewVerticalBox();
  uiBoxSetPadded(box, 0);
  uiAreaHandler handler = {draw_nothing, nullptr, nullptr, nullptr, nullptr};
  uiArea* area = uiNewArea(&handler);
  uiBoxAppend(box, uiControl(area), 1);
  uiProgressBar* bar = uiNewProgressBar();
  uiBoxAppend(box, uiControl(bar), 0);
  uiWindowSetChild(w, uiControl(box));
  uiControlShow(uiControl(w));
  pump();

  uiprivDialogUnits du = uiprivGetDialogUnits(hwnd_of(bar));
  int bar_height = MulDiv(8, du.baseY, 8);
  ASSERT_GT(bar_height, 0);
  RECT area_rect = child_rect(hwnd_of(area));
  RECT bar_rect = child_rect(hwnd_of(bar));
  EXPECT_EQ(area_rect.left, 0);
  EXPECT_EQ(area_rect.top, 0);
  EXPECT_EQ(area_rect.right, 300);
  EXPECT_EQ(area_rect.bottom, 169 - bar_height);
  EXPECT_EQ(bar_rect.left, 0);
  EXPECT_EQ(bar_rect.top, 169 - bar_height);
  EXPECT_EQ(bar_rect.right, 300);
  EXPECT_EQ(bar_rect.bottom, 169);
  // The box fits: the window was not enlarged.
  RECT client = client_rect(hwnd_of(w));
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 169);
  EXPECT_TRUE(IsWindowVisible(hwnd_of(w)));

  // Progress bar values, including the range trick for 100.
  HWND bar_hwnd = hwnd_of(bar);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 0);
  uiProgressBarSetValue(bar, 42);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 42);
  uiProgressBarSetValue(bar, 100);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETRANGE, FALSE, 0), 100);
  uiProgressBarSetValue(bar, 0);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 0);

  uiControlHide(uiControl(w));
  EXPECT_FALSE(IsWindowVisible(hwnd_of(w)));
  uiControlDestroy(uiControl(w));
}

// Counts the paints of one window (the common controls may paint inside PBM_SETPOS itself).
WNDPROC counted_proc = nullptr;
int paint_count = 0;
LRESULT CALLBACK count_paints(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_PAINT) ++paint_count;
  return CallWindowProcW(counted_proc, hwnd, message, w, l);
}

// A shown window holding only a progress bar, whose messages pass through `counter` first until
// the window goes.
struct WatchedBar {
  explicit WatchedBar(WNDPROC counter) {
    window = uiNewWindow("Downloader", 300, 169, 0);
    uiBox* box = uiNewVerticalBox();
    bar = uiNewProgressBar();
    uiBoxAppend(box, uiControl(bar), 0);
    uiWindowSetChild(window, uiControl(box));
    uiControlShow(uiControl(window));
    pump();
    hwnd = hwnd_of(bar);
    counted_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counter)));
  }
  ~WatchedBar() {
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counted_proc));
    uiControlDestroy(uiControl(window));
  }
  uiWindow* window;
  uiProgressBar* bar;
  HWND hwnd;
};

// The status tick sets the bar 60 times a second whatever the download did; an unchanged value
// must not repaint it each time.
TEST_F(WindowTest, ProgressBarRepaintsOnlyWhenItsValueChanges) {
  WatchedBar watched(count_paints);
  ASSERT_NE(counted_proc, nullptr);
  uiProgressBar* bar = watched.bar;
  HWND bar_hwnd = watched.hwnd;
  uiProgressBarSetValue(bar, 42);
  pump();

  paint_count = 0;
  for (int i = 0; i < 5; ++i) {
    uiProgressBarSetValue(bar, 42);
    pump();
  }
  EXPECT_EQ(paint_count, 0);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 42);

  uiProgressBarSetValue(bar, 43);
  pump();
  EXPECT_GT(paint_count, 0) << "a new value was not painted";
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 43);

  uiProgressBarSetValue(bar, 100);
  pump();
  paint_count = 0;
  uiProgressBarSetValue(bar, 100);
  pump();
  EXPECT_EQ(paint_count, 0);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETRANGE, FALSE, 0), 100);
}

// A paint that left the window validated really drew; one that left it invalid was skipped.
int drawn_paints = 0;
LRESULT CALLBACK count_drawn_paints(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
  const LRESULT result = CallWindowProcW(counted_proc, hwnd, message, w, l);
  if (message == WM_PAINT && GetUpdateRect(hwnd, nullptr, FALSE) == FALSE) ++drawn_paints;
  return result;
}

// Setting a value steps the bar one past it and back; only the new value is drawn, once.
TEST_F(WindowTest, ProgressBarDrawsEachNewValueOnce) {
  WatchedBar watched(count_drawn_paints);
  ASSERT_NE(counted_proc, nullptr);
  uiProgressBar* bar = watched.bar;
  HWND bar_hwnd = watched.hwnd;

  for (int value : {1, 2, 50, 99, 100, 0}) {
    drawn_paints = 0;
    uiProgressBarSetValue(bar, value);
    pump();
    EXPECT_EQ(drawn_paints, value == 100 ? 2 : 1) << "value " << value;
    EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETPOS, 0, 0), value);
    EXPECT_FALSE(GetUpdateRect(bar_hwnd, nullptr, FALSE)) << "value " << value << " left unpainted";
  }
  EXPECT_EQ(SendMessageW(bar_hwnd, PBM_GETRANGE, FALSE, 0), 100);
}

TEST_F(WindowTest, MarginsAndPaddingFollowTheDialogUnits) {
  uiWindow* w = uiNewWindow("margins", 400, 300, 0);
  uiWindowSetMargined(w, 1);
  uiBox* box = uiNewVerticalBox();
  uiBoxSetPadded(box, 1);
  uiAreaHandler handler = {draw_nothing, nullptr, nullptr, nullptr, nullptr};
  uiArea* top = uiNewArea(&handler);
  uiArea* bottom = uiNewArea(&handler);
  uiBoxAppend(box, uiControl(top), 1);
  uiBoxAppend(box, uiControl(bottom), 1);
  uiWindowSetChild(w, uiControl(box));
  uiControlShow(uiControl(w));
  pump();

  uiprivDialogUnits du = uiprivGetDialogUnits(hwnd_of(w));
  int mx = MulDiv(7, du.baseX, 4), my = MulDiv(7, du.baseY, 8);
  int padding = MulDiv(4, du.baseY, 8);
  RECT box_rect = child_rect(hwnd_of(box));
  EXPECT_EQ(box_rect.left, mx);
  EXPECT_EQ(box_rect.top, my);
  EXPECT_EQ(box_rect.right, 400 - mx);
  EXPECT_EQ(box_rect.bottom, 300 - my);
  // Two stretchy children share the height left after the padding equally.
  int each = (300 - 2 * my - padding) / 2;
  RECT top_rect = child_rect(hwnd_of(top));
  RECT bottom_rect = child_rect(hwnd_of(bottom));
  EXPECT_EQ(top_rect.top, 0);
  EXPECT_EQ(top_rect.bottom, each);
  EXPECT_EQ(bottom_rect.top, each + padding);
  EXPECT_EQ(bottom_rect.bottom, 2 * each + padding);

  // A hidden child takes no room.
  uiControlHide(uiControl(bottom));
  top_rect = child_rect(hwnd_of(top));
  EXPECT_EQ(top_rect.bottom, 300 - 2 * my);

  // Without margins the child fills the client area.
  uiWindowSetMargined(w, 0);
  box_rect = child_rect(hwnd_of(box));
  EXPECT_EQ(box_rect.left, 0);
  EXPECT_EQ(box_rect.bottom, 300);
  uiControlDestroy(uiControl(w));
}

TEST_F(WindowTest, FirstShowEnlargesAWindowTooSmallForItsChild) {
  uiWindow* w = uiNewWindow("small", 40, 4, 0);
  uiWindowSetBorderless(w, 1);
  uiWindowSetPosition(w, 100, 120);
  uiBox* box = uiNewVerticalBox();
  uiProgressBar* bar = uiNewProgressBar();
  uiBoxAppend(box, uiControl(bar), 0);
  uiWindowSetChild(w, uiControl(box));
  uiControlShow(uiControl(w));
  pump();
  uiprivDialogUnits du = uiprivGetDialogUnits(hwnd_of(bar));
  RECT client = client_rect(hwnd_of(w));
  EXPECT_EQ(client.right, MulDiv(150, du.baseX, 4));
  EXPECT_EQ(client.bottom, MulDiv(8, du.baseY, 8));
  RECT window = {};
  GetWindowRect(hwnd_of(w), &window);
  EXPECT_EQ(window.left, 100);
  EXPECT_EQ(window.top, 120);
  uiControlDestroy(uiControl(w));
}

int closing_calls = 0;
int keep_window(uiWindow*, void* data) {
  ++closing_calls;
  EXPECT_EQ(data, &closing_calls);
  return 0;
}
int let_window_go(uiWindow*, void*) {
  ++closing_calls;
  return 1;
}

TEST_F(WindowTest, CloseRequestAsksTheHandler) {
  size_t blocks = uiprivLiveBlockCount();
  uiWindow* w = uiNewWindow("close", 100, 50, 0);
  HWND hwnd = hwnd_of(w);
  closing_calls = 0;
  uiWindowOnClosing(w, keep_window, &closing_calls);
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(closing_calls, 1);
  EXPECT_TRUE(IsWindow(hwnd));

  uiWindowOnClosing(w, let_window_go, nullptr);
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(closing_calls, 2);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(uiprivLiveBlockCount(), blocks);
}

TEST_F(WindowTest, DefaultCloseHandlerKeepsTheWindow) {
  uiWindow* w = uiNewWindow("close", 100, 50, 0);
  SendMessageW(hwnd_of(w), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(hwnd_of(w)));
  uiControlDestroy(uiControl(w));
}

TEST_F(WindowTest, MainStepReportsQuitOnlyWhenItTakesIt) {
  pump();
  EXPECT_EQ(uiMainStep(0), 1);  // nothing waiting
  uiMainSteps();
  uiQuit();
  EXPECT_EQ(uiMainStep(0), 0);
  EXPECT_EQ(uiMainStep(0), 1);
  PostMessageW(nullptr, WM_NULL, 0, 0);
  EXPECT_EQ(uiMainStep(0), 1);
}

TEST_F(WindowTest, DestroyingAWindowFreesEveryRecord) {
  size_t blocks = uiprivLiveBlockCount();
  uiWindow* w = uiNewWindow("tree", 200, 100, 0);
  uiBox* box = uiNewVerticalBox();
  uiAreaHandler handler = {draw_nothing, nullptr, nullptr, nullptr, nullptr};
  uiBoxAppend(box, uiControl(uiNewArea(&handler)), 1);
  uiBoxAppend(box, uiControl(uiNewProgressBar()), 0);
  uiWindowSetChild(w, uiControl(box));
  uiControlShow(uiControl(w));
  pump();
  EXPECT_EQ(uiprivLiveBlockCount(), blocks + 4);
  uiControlDestroy(uiControl(w));
  EXPECT_EQ(uiprivLiveBlockCount(), blocks);
}

}  // namespace
