#include "main/single_instance.h"

#include <windows.h>

#include <sddl.h>

#include <string>

#include "main/progress_window.h"

namespace quorvel {

namespace {

// The user's SID as text, or empty when the token cannot be read.
std::wstring user_sid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &length)) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

}  // namespace

SingleInstance SingleInstance::claim() {
  // Local: the user's session only. The SID keeps another account run in the same session (with
  // its own temporary folder) from being turned away.
  std::wstring name = L"Local\\Quorvel.Bootstrap." + user_sid();
  SingleInstance instance;
  instance.mutex_ = UniqueHandle(CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!instance.mutex_.valid()) return instance;
  DWORD waited = WaitForSingleObject(instance.mutex_.get(), 0);
  instance.first_ = waited != WAIT_TIMEOUT;
  return instance;
}

void show_running_copy() {
  HWND window = FindWindowA("libui_uiWindow", WINDOW_TITLE);
  if (window == nullptr) return;
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}

}  // namespace quorvel
