#include "main/launch.h"

#include <windows.h>

#include <vector>

#include "runtime/error.h"
#include "runtime/output.h"
#include "runtime/win_handle.h"

namespace quorvel {

void start_setup_executable(const std::wstring& path) {
  // The command line is only the quoted path; CreateProcessW may write into its buffer.
  const std::wstring quoted = L"\"" + path + L"\"";
  std::vector<wchar_t> command_line(quoted.begin(), quoted.end());
  command_line.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started)) {
    const Error error = last_os_error();
    print_line(OutputStream::Err, "Failed to start setup executable: " + error_text(error));
    return;
  }
  // The child runs on its own; neither its exit code nor its thread is of interest.
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  print_line(OutputStream::Out, "Setup executable started successfully");
}

}  // namespace quorvel
