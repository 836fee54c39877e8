#include "main/taskbar_button.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/status_tick.h"
#include "support/captured_lines.h"

namespace quorvel {
namespace {

// A stand-in of the shell's taskbar list that notes the progress calls it gets.
class RecordingTaskbarList : public ITaskbarList3 {
 public:
  std::vector<std::string> calls;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done, ULONGLONG total) override {
    calls.push_back("value " + std::to_string(done) + "/" + std::to_string(total));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG flags) override {
    const char* names[] = {"none", "indeterminate", "normal", "?", "error", "?", "?",
                           "?",    "paused"};
    calls.push_back(std::string("state ") + (flags <= 8 ? names[flags] : "?"));
    return S_OK;
  }
  // Nothing else is asked of the list.
  HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, WINBOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return E_NOTIMPL; }

  ULONG references = 0;
};

using Calls = std::vector<std::string>;

// The status tick with its taskbar action wired to a real button on a real window; every other
// action does nothing.
class TaskbarButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A message-only window: the button's watch needs messages, not a display.
    window_ =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    StatusTickActions& act = context_.actions;
    act.set_progress = [](int) {};
    act.hide_window = [] {};
    act.sleep = [](std::chrono::milliseconds) {};
    act.delete_download_files = [] {};
    act.start_download_job = [](std::shared_ptr<DownloadStatus>) {};
    act.run_install_step = [] {};
    act.flush_output = [] {};
    act.exit_process = [](int) {};
    context_.status = std::make_shared<DownloadStatus>();
  }
  void TearDown() override {
    button_.reset();
    DestroyWindow(window_);
  }

  void make_button(TaskbarButton::Factory factory) {
    button_ = std::make_unique<TaskbarButton>(window_, std::move(factory));
    context_.actions.set_taskbar = [this](TaskbarState state, int value) {
      button_->show(state, value);
    };
  }
  // What the shell sends when it has made the window's button.
  void announce() { SendMessageW(window_, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0); }

  // The calls one tick in this phase caused.
  Calls tick(Phase phase, uint8_t percent) {
    {
      std::lock_guard lock(context_.status->mutex);
      context_.status->phase = phase;
      context_.status->percent = percent;
    }
    const size_t before = list_.calls.size();
    status_tick(context_);
    return Calls(list_.calls.begin() + static_cast<ptrdiff_t>(before), list_.calls.end());
  }

  HWND window_ = nullptr;
  RecordingTaskbarList list_;
  std::unique_ptr<TaskbarButton> button_;
  StatusTickContext context_;
};

TEST_F(TaskbarButtonTest, FollowsARunWithAFailureAMismatchAndAnInstall) {
  make_button([this] {
    list_.AddRef();
    return ComRef<ITaskbarList3>(&list_);
  });
  EXPECT_EQ(tick(Phase::Downloading, 0), Calls{});  // no button yet
  announce();
  EXPECT_EQ(list_.calls, (Calls{"state normal", "value 0/100"}));
  EXPECT_EQ(tick(Phase::Downloading, 0), Calls{});  // nothing new
  EXPECT_EQ(tick(Phase::Downloading, 40), Calls{"value 40/100"});
  // Red through the pause after the failure, then back to an empty bar for the new job.
  EXPECT_EQ(tick(Phase::Failed, 40),
            (Calls{"state error", "value 40/100", "state normal", "value 0/100"}));
  EXPECT_EQ(tick(Phase::Downloading, 20), Calls{"value 20/100"});
  // The shell restarted: its new button is shown what the old one showed.
  announce();
  EXPECT_EQ(Calls(list_.calls.end() - 2, list_.calls.end()),
            (Calls{"state normal", "value 20/100"}));
  // Yellow after a mismatch until the new download has moved.
  EXPECT_EQ(tick(Phase::CrcMismatch, 100), (Calls{"state paused", "value 0/100"}));
  EXPECT_EQ(tick(Phase::Downloading, 0), Calls{});
  EXPECT_EQ(tick(Phase::Downloading, 3), (Calls{"state normal", "value 3/100"}));
  EXPECT_EQ(tick(Phase::Downloaded, 100), Calls{"value 100/100"});
  EXPECT_EQ(tick(Phase::Installing, 100), Calls{"state none"});
  button_.reset();
  EXPECT_EQ(list_.references, 0u);
}

TEST_F(TaskbarButtonTest, WhereTheShellHasNoTaskbarListNothingHappensAndNothingIsPrinted) {
  // The platform's own answer (Wine has no taskbar, or a list that does nothing).
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  test::CapturedLines capture;
  make_button(shell_taskbar_list);
  announce();
  for (Phase phase : {Phase::Downloading, Phase::Failed, Phase::CrcMismatch, Phase::Downloading,
                      Phase::Downloaded, Phase::Installing}) {
    tick(phase, 50);
  }
  EXPECT_TRUE(capture.lines().empty());
  button_.reset();
  CoUninitialize();
}

}  // namespace
}  // namespace quorvel
