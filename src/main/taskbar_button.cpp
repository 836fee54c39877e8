#include "main/taskbar_button.h"

#include <commctrl.h>

namespace quorvel {
namespace {

constexpr UINT_PTR WATCH_ID = 1;

TBPFLAG flag_of(TaskbarState state) {
  switch (state) {
    case TaskbarState::Normal:
      return TBPF_NORMAL;
    case TaskbarState::Error:
      return TBPF_ERROR;
    case TaskbarState::Paused:
      return TBPF_PAUSED;
    case TaskbarState::None:
      break;
  }
  return TBPF_NOPROGRESS;
}

}  // namespace

ComRef<ITaskbarList3> shell_taskbar_list() {
  ComRef<ITaskbarList3> list;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              list.put_void())) ||
      !list) {
    return {};
  }
  if (FAILED(list->HrInit())) return {};
  return list;
}

TaskbarButton::TaskbarButton(HWND window, Factory make_list)
    : window_(window),
      make_list_(std::move(make_list)),
      created_message_(RegisterWindowMessageW(L"TaskbarButtonCreated")) {
  if (created_message_ == 0) return;
  // An elevated program still hears the shell, which runs with less rights.
  ChangeWindowMessageFilterEx(window_, created_message_, MSGFLT_ALLOW, nullptr);
  SetWindowSubclass(window_, watch, WATCH_ID, reinterpret_cast<DWORD_PTR>(this));
}

TaskbarButton::~TaskbarButton() {
  RemoveWindowSubclass(window_, watch, WATCH_ID);
}

LRESULT CALLBACK TaskbarButton::watch(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR, DWORD_PTR self) {
  auto* button = reinterpret_cast<TaskbarButton*>(self);
  if (message == button->created_message_) button->button_created();
  return DefSubclassProc(window, message, wparam, lparam);
}

void TaskbarButton::show(TaskbarState state, int value) {
  state_ = state;
  value_ = value;
  apply();
}

void TaskbarButton::button_created() {
  list_ = make_list_();
  shown_state_ = TaskbarState::None;
  shown_value_ = -1;
  apply();
}

// The state first: a value set while no progress shows would turn the state to normal.
void TaskbarButton::apply() {
  if (!list_) return;
  const bool new_state = state_ != shown_state_;
  if (new_state) {
    list_->SetProgressState(window_, flag_of(state_));
    shown_state_ = state_;
  }
  if (state_ != TaskbarState::None && (new_state || value_ != shown_value_)) {
    list_->SetProgressValue(window_, static_cast<ULONGLONG>(value_), 100);
    shown_value_ = value_;
  }
}

}  // namespace quorvel
