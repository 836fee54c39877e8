#include "main/progress_window.h"

namespace quorvel {

namespace {

// A close request ends the main loop; the window itself stays until the process ends.
int on_closing(uiWindow*, void*) {
  uiQuit();
  return 0;
}

}  // namespace

ProgressWindow create_progress_window(BannerImage banner, const PrimaryOutput& output) {
  const uint32_t width = banner.width;
  const uint32_t height = banner.height;
  ProgressWindow result;
  uiWindow* window =
      uiNewWindow(WINDOW_TITLE, static_cast<int>(width), static_cast<int>(height), 0);
  uiWindowOnClosing(window, on_closing, nullptr);
  uiWindowSetMargined(window, 1);
  uiWindowSetBorderless(window, 1);
  uiWindowSetResizeable(window, 0);
  uiWindowSetMargined(window, 0);
  WindowPosition position = window_position(output.rect, width, height);
  uiWindowSetPosition(window, position.x, position.y);

  uiBox* box = uiNewVerticalBox();
  uiBoxSetPadded(box, 0);
  BannerHandler* handler = new_banner_handler(std::move(banner));
  uiBoxAppend(box, uiControl(uiNewArea(&handler->handler)), 1);
  uiProgressBar* bar = uiNewProgressBar();
  uiBoxAppend(box, uiControl(bar), 0);

  uiWindowSetChild(window, uiControl(box));
  // Before the window shows, so that the shell's announcement of its button is heard.
  result.taskbar =
      std::make_shared<TaskbarButton>(reinterpret_cast<HWND>(uiControlHandle(uiControl(window))));
  uiControlShow(uiControl(window));

  result.window = window;
  result.progress = std::make_shared<ProgressBar>();
  result.progress->bar = bar;
  return result;
}

}  // namespace quorvel
