#include <cstdlib>

#include "download/download_paths.h"

namespace quorvel {

// The native build stands in for Windows' temporary folder with $TMPDIR, or /tmp.
Result<DownloadPaths> download_paths() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string root = tmpdir && *tmpdir ? tmpdir : "/tmp";
  if (root.back() != '/') root.push_back('/');
  return DownloadPaths{root + DOWNLOAD_FILE_NAME, root + ENTITY_TAG_FILE_NAME};
}

}  // namespace quorvel
