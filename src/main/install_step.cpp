#include "main/install_step.h"

#include <windows.h>

#include <string>
#include <string_view>

#include "main/file_ops.h"
#include "main/launch.h"
#include "main/remove_tree.h"
#include "runtime/delete_file.h"
#include "runtime/output.h"
#include "runtime/paths.h"
#include "runtime/win_handle.h"

namespace quorvel {
namespace {

constexpr RetryStep DELETE_STEP{"删除旧的安装程序", "deleting the existing file"};
constexpr RetryStep COPY_STEP{"复制文件", "copying the file"};
constexpr RetryStep START_STEP{"启动安装程序", "starting the setup executable"};
constexpr char NOT_VERIFIED_LINE[] =
    "安装程序不是已校验的下载文件，未启动 / Setup executable is not the verified download; not "
    "started";

void report(std::string_view prefix, const Error& error) {
  print_line(OutputStream::Err, std::string(prefix) + error_text(error));
}

void report_entry(std::string_view prefix, const std::wstring& path, const Error& error) {
  print_line(OutputStream::Err,
             std::string(prefix) + display_path(path) + ": " + error_text(error));
}

// Kept names are compared exactly, byte for byte: "launcher.log" is not kept.
bool is_kept_name(std::wstring_view name) {
  return name == L"Updater.log" || name == L"Launcher.log";
}

std::wstring_view last_component(std::wstring_view path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring_view::npos ? path : path.substr(separator + 1);
}

// One listed entry of the game directory. Its type is judged after following links; a link is
// then removed as a link, never through it.
void clean_entry(const std::wstring& game_directory, const WIN32_FIND_DATAW& entry) {
  const std::wstring path = join_path(game_directory, entry.cFileName);
  EntryType type;
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    Result<EntryType> resolved = resolved_type(path);
    if (!resolved.ok()) return;  // a dangling or unreadable link is left alone
    type = *resolved;
  } else {
    type = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Directory
                                                               : EntryType::File;
  }
  if (type == EntryType::File) {
    const std::wstring_view name = last_component(path);
    if (name.empty() || is_kept_name(name)) return;
    if (Result<void> deleted = delete_file(path); !deleted.ok()) {
      report_entry("Failed to remove file ", path, deleted.error());
    }
  } else {
    if (Result<void> removed = remove_directory_tree(path); !removed.ok()) {
      report_entry("Failed to remove directory ", path, removed.error());
    }
  }
}

// Empties the game directory except the kept files. Only called when the dead marker was there.
void clean_game_directory(const std::wstring& game_directory) {
  WIN32_FIND_DATAW entry;
  FindHandle listing(FindFirstFileExW(join_path(game_directory, L"*").c_str(), FindExInfoBasic,
                                      &entry, FindExSearchNameMatch, nullptr, 0));
  if (!listing.valid()) return;
  do {
    const std::wstring_view name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    clean_entry(game_directory, entry);
  } while (FindNextFileW(listing.get(), &entry));
}

void prepare_game_directory(const std::wstring& game_directory) {
  if (!resolved_type(game_directory).ok()) {
    if (Result<void> made = create_directory_with_parents(game_directory); !made.ok()) {
      report("Failed to create install directory: ", made.error());
    }
    return;
  }
  const std::wstring dead_marker = dead_marker_path();
  if (!path_exists(dead_marker)) return;
  if (Result<void> deleted = delete_file(dead_marker); !deleted.ok()) {
    report("Failed to remove .dead file: ", deleted.error());
  }
  clean_game_directory(game_directory);
}

}  // namespace

bool run_install_step(const RetryWaits& waits) {
  BusyRetry retry(waits);
  // Without a temporary folder there is nothing to copy or start; the copy and the start report
  // why, and nothing is written to the current directory instead.
  const Result<std::wstring> download_file = download_file_path();
  const Result<std::wstring> setup_executable = setup_executable_path();

  if (setup_executable.ok() && path_exists(*setup_executable)) {
    const RetryOutcome deleted = retry.run(
        DELETE_STEP, [&] { return delete_file(*setup_executable); },
        [](const Error& error) { report("Failed to delete existing file: ", error); });
    if (deleted == RetryOutcome::WindowClosed) return false;
  }
  if (!download_file.ok() || !setup_executable.ok()) {
    report("Failed to copy file: ",
           download_file.ok() ? setup_executable.error() : download_file.error());
  } else {
    const RetryOutcome copied = retry.run(
        COPY_STEP, [&] { return copy_file(*download_file, *setup_executable); },
        [](const Error& error) { report("Failed to copy file: ", error); });
    if (copied == RetryOutcome::WindowClosed) return false;
  }

  const std::wstring game_directory = game_directory_path();
  prepare_game_directory(game_directory);

  if (Result<void> created = create_empty_file(compat_marker_path()); !created.ok()) {
    report("Failed to create compatibility mode file: ", created.error());
  }

  if (!setup_executable.ok()) {
    report("Failed to start setup executable: ", setup_executable.error());
    return true;
  }
  // Without a download path nothing can vouch for the file there.
  const std::wstring download = download_file.ok() ? *download_file : std::wstring();
  const RetryOutcome started = retry.run(
      START_STEP, [&] { return start_verified_setup_executable(*setup_executable, download); },
      [](const Error& error) {
        if (is_not_verified(error)) {
          print_line(OutputStream::Err, NOT_VERIFIED_LINE);
        } else {
          report("Failed to start setup executable: ", error);
        }
      });
  if (started == RetryOutcome::WindowClosed) return false;
  if (started == RetryOutcome::Succeeded) {
    print_line(OutputStream::Out, "Setup executable started successfully");
  }
  return true;
}

}  // namespace quorvel
