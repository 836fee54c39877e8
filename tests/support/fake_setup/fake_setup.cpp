// A stand-in for the launcher's setup executable. It records how it was started: a marker file
// (UTF-8) whose first line is its command line and whose second line is its current directory. The
// marker's path is taken from QUORVEL_FAKE_SETUP_MARKER, or else is this program's own path plus
// ".marker". It also writes "fake setup ran" to its standard output, so a caller can see that the
// handle was passed on. The marker is written under a temporary name and renamed, so a reader never
// sees half.
//
// With the arguments --hold PATH SECONDS [read] it is a holder for the install's tests instead: it
// holds PATH open without sharing (or sharing reading only), as a virus scanner holds a fresh
// executable (waiting until it can open it: the file may not exist yet), prints "held", keeps it
// SECONDS, then ends.
#include <windows.h>

#include <cstring>
#include <string>

namespace {

std::wstring environment_value(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

std::wstring own_path() {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

std::wstring current_directory() {
  DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring path(size, L'\0');
  DWORD length = GetCurrentDirectoryW(size, path.data());
  path.resize(length < size ? length : 0);
  return path;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

void say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
            nullptr);
}

int hold(const wchar_t* path, DWORD seconds, DWORD sharing) {
  HANDLE held = INVALID_HANDLE_VALUE;
  while ((held = CreateFileW(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) == INVALID_HANDLE_VALUE) {
    Sleep(1);
  }
  say("held\n");
  Sleep(seconds * 1000);
  CloseHandle(held);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if ((argc == 4 || argc == 5) && std::wstring(argv[1]) == L"--hold") {
    return hold(argv[2], static_cast<DWORD>(_wtoi(argv[3])), argc == 5 ? FILE_SHARE_READ : 0);
  }
  std::wstring marker = environment_value(L"QUORVEL_FAKE_SETUP_MARKER");
  if (marker.empty()) marker = own_path() + L".marker";
  const std::string content = utf8(GetCommandLineW()) + "\n" + utf8(current_directory()) + "\n";
  const std::wstring partial = marker + L".partial";
  if (!write_file(partial, content)) return 2;
  if (!MoveFileExW(partial.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING)) return 3;

  say("fake setup ran\n");
  return 0;
}
