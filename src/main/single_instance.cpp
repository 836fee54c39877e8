#include "main/single_instance.h"

#include <windows.h>

#include <sddl.h>

#include <string>

#include "main/progress_window.h"
#include "runtime/system_library.h"
#include "ui.h"

namespace quorvel {

namespace {

// The user's SID as text, or empty when it cannot be read.
std::wstring user_sid() {
  // advapi32 by full path, like every system DLL the program does not import.
  auto advapi = load_system_library(L"advapi32.dll");
  if (!advapi) return {};
  auto open_token = library_function<decltype(&OpenProcessToken)>(*advapi, "OpenProcessToken");
  auto token_information =
      library_function<decltype(&GetTokenInformation)>(*advapi, "GetTokenInformation");
  auto sid_to_text =
      library_function<decltype(&ConvertSidToStringSidW)>(*advapi, "ConvertSidToStringSidW");
  if (!open_token || !token_information || !sid_to_text) return {};

  HANDLE raw = nullptr;
  if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  if (!token_information(token.get(), TokenUser, buffer, sizeof buffer, &length)) return {};
  wchar_t* text = nullptr;
  if (!sid_to_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

}  // namespace

std::wstring instance_mutex_name() {
  // Local: the user's session only. The SID keeps another account run in the same session (with
  // its own temporary folder) from being turned away.
  return L"Local\\Quorvel.Bootstrap." + user_sid();
}

SingleInstance SingleInstance::claim() {
  return claim(instance_mutex_name());
}

SingleInstance SingleInstance::claim(const std::wstring& name) {
  SingleInstance instance;
  instance.mutex_ = UniqueHandle(CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!instance.mutex_.valid()) return instance;
  DWORD waited = WaitForSingleObject(instance.mutex_.get(), 0);
  instance.first_ = waited != WAIT_TIMEOUT;
  return instance;
}

void show_running_copy() {
  auto window = reinterpret_cast<HWND>(uiWindowFindToplevel(WINDOW_TITLE));
  if (window == nullptr) return;
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}

}  // namespace quorvel
