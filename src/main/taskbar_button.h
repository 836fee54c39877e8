// The window's taskbar button as a second progress display (ITaskbarList3). The shell announces
// the button with the registered message "TaskbarButtonCreated" (again after it restarts); only
// then is the interface made. Until then, and where the shell offers no such interface (Windows
// without a taskbar, Wine), showing changes nothing and prints nothing.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include <functional>

#include "main/com_ref.h"
#include "main/taskbar_state.h"

namespace quorvel {

// The shell's taskbar list, initialised; empty where there is none.
ComRef<ITaskbarList3> shell_taskbar_list();

class TaskbarButton {
 public:
  using Factory = std::function<ComRef<ITaskbarList3>()>;

  // Watches `window` (on the GUI thread) for the shell's announcement until destroyed.
  explicit TaskbarButton(HWND window, Factory make_list = shell_taskbar_list);
  ~TaskbarButton();
  TaskbarButton(const TaskbarButton&) = delete;
  TaskbarButton& operator=(const TaskbarButton&) = delete;

  // `value` from 0 to 100. What the button already shows is not sent again.
  void show(TaskbarState state, int value);

  // A new button: a new interface, which is shown what was shown last.
  void button_created();

 private:
  static LRESULT CALLBACK watch(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                UINT_PTR id, DWORD_PTR self);
  void apply();

  HWND window_;
  Factory make_list_;
  UINT created_message_;
  ComRef<ITaskbarList3> list_;
  TaskbarState state_ = TaskbarState::None;
  int value_ = 0;
  TaskbarState shown_state_ = TaskbarState::None;  // a new button shows no progress
  int shown_value_ = -1;
};

}  // namespace quorvel
