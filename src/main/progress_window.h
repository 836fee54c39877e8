// The program's only window: frameless, fixed size, the banner above a progress bar, centred on
// the display.
#pragma once

#include <memory>
#include <mutex>

#include "main/banner.h"
#include "main/display.h"
#include "main/taskbar_button.h"
#include "ui.h"

namespace quorvel {

inline constexpr char WINDOW_TITLE[] = "Downloader";

// The bar, shared between the entry point and the status tick; used on the GUI thread only.
struct ProgressBar {
  std::mutex mutex;
  uiProgressBar* bar = nullptr;
};

struct ProgressWindow {
  uiWindow* window = nullptr;
  std::shared_ptr<ProgressBar> progress;
  // The window's taskbar button, following the bar; GUI thread only.
  std::shared_ptr<TaskbarButton> taskbar;
};

// Builds and shows the window. The banner passes to the drawing area's handler for the rest of
// the run. Call after uiInit.
ProgressWindow create_progress_window(BannerImage banner, const PrimaryOutput& output);

}  // namespace quorvel
