// The download file and its entity-tag file, side by side in the user's temporary folder, as UTF-8
// paths. Queried afresh on every call.
#pragma once

#include <string>

#include "runtime/error.h"

namespace quorvel {

inline constexpr const wchar_t* DOWNLOAD_FILE_NAME = L"QuorvelLauncher.bin";
inline constexpr const wchar_t* ENTITY_TAG_FILE_NAME = L"QuorvelLauncher.bin.etag";

struct DownloadPaths {
  std::string file;
  std::string entity_tag;
};

// Fails when the temporary folder cannot be queried or its path cannot be written as UTF-8.
Result<DownloadPaths> download_paths();

#ifdef _WIN32
// The download file as the install step copies it: temp root + DOWNLOAD_FILE_NAME.
Result<std::wstring> download_file_path();
#endif

}  // namespace quorvel
