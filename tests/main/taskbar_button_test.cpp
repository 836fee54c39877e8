#include "main/taskbar_button.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/status_tick.h"

namespace quorvel {
namespace {

using Calls = std::vector<std::string>;

#define NOT_ASKED(name, ...)                             \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
    return E_NOTIMPL;                                    \
  }

// A stand-in of the shell's taskbar list that notes the progress calls it gets.
struct RecordingTaskbarList : ITaskbarList3 {
  Calls calls;
  ULONG references = 0;

  HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done, ULONGLONG total) override {
    calls.push_back("value " + std::to_string(done) + "/" + std::to_string(total));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG flags) override {
    const char* names[] = {"none", "?", "normal", "?", "error", "?", "?", "?", "paused"};
    calls.push_back(std::string("state ") + names[flags <= 8 ? flags : 1]);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  NOT_ASKED(QueryInterface, REFIID, void**)
  NOT_ASKED(HrInit)
  NOT_ASKED(AddTab, HWND)
  NOT_ASKED(DeleteTab, HWND)
  NOT_ASKED(ActivateTab, HWND)
  NOT_ASKED(SetActiveAlt, HWND)
  NOT_ASKED(MarkFullscreenWindow, HWND, WINBOOL)
  NOT_ASKED(RegisterTab, HWND, HWND)
  NOT_ASKED(UnregisterTab, HWND)
  NOT_ASKED(SetTabOrder, HWND, HWND)
  NOT_ASKED(SetTabActive, HWND, HWND, DWORD)
  NOT_ASKED(ThumbBarAddButtons, HWND, UINT, LPTHUMBBUTTON)
  NOT_ASKED(ThumbBarUpdateButtons, HWND, UINT, LPTHUMBBUTTON)
  NOT_ASKED(ThumbBarSetImageList, HWND, HIMAGELIST)
  NOT_ASKED(SetOverlayIcon, HWND, HICON, LPCWSTR)
  NOT_ASKED(SetThumbnailTooltip, HWND, LPCWSTR)
  NOT_ASKED(SetThumbnailClip, HWND, RECT*)
};

// The status tick's taskbar action on a real button of a (message-only) window; the tick's other
// actions do nothing. Each row: a phase and percent for one tick, or an announcement of the
// button by the shell (percent -1), and the calls that follow.
TEST(TaskbarButton, FollowsARunWithAFailureAMismatchAndAnInstall) {
  HWND window =
      CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  RecordingTaskbarList list;
  auto button = std::make_unique<TaskbarButton>(window, [&] {
    list.AddRef();
    return ComRef<ITaskbarList3>(&list);
  });
  StatusTickContext context;
  context.status = std::make_shared<DownloadStatus>();
  context.actions = {
      .set_progress = [](int) {},
      .set_taskbar = [&](TaskbarState state, int value) { button->show(state, value); },
      .hide_window = [] {},
      .sleep = [](std::chrono::milliseconds) {},
      .delete_download_files = [] {},
      .start_download_job = [](std::shared_ptr<DownloadStatus>) {},
      .run_install_step = [] {},
      .flush_output = [] {},
      .exit_process = [](int) {},
  };
  const std::vector<std::tuple<Phase, int, Calls>> rows = {
      {Phase::Downloading, 0, {}},  // no button yet
      {Phase::Downloading, -1, {"state normal", "value 0/100"}},
      {Phase::Downloading, 0, {}},  // what it shows is not sent again
      {Phase::Downloading, 40, {"value 40/100"}},
      // Red through the pause after a failure, then an empty bar for the new job.
      {Phase::Failed, 40, {"state error", "value 40/100", "state normal", "value 0/100"}},
      {Phase::Downloading, 20, {"value 20/100"}},
      // The shell restarted: its new button is shown what the old one showed.
      {Phase::Downloading, -1, {"state normal", "value 20/100"}},
      // Yellow after a mismatch, until the new download has moved.
      {Phase::CrcMismatch, 100, {"state paused", "value 0/100"}},
      {Phase::Downloading, 0, {}},
      {Phase::Downloading, 3, {"state normal", "value 3/100"}},
      {Phase::Downloaded, 100, {"value 100/100"}},
      {Phase::Installing, 100, {"state none"}},
  };
  for (const auto& [phase, percent, calls] : rows) {
    list.calls.clear();
    if (percent < 0) {
      SendMessageW(window, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
    } else {
      context.status->phase = phase;
      context.status->percent = static_cast<uint8_t>(percent);
      status_tick(context);
    }
    EXPECT_EQ(list.calls, calls) << static_cast<int>(phase) << " " << percent;
  }
  button.reset();
  EXPECT_EQ(list.references, 0u);
  DestroyWindow(window);
}

}  // namespace
}  // namespace quorvel
