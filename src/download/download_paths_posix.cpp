#include <cstdlib>

#include "download/download_paths.h"
#include "runtime/utf.h"

namespace quorvel {

// The native build stands in for Windows' temporary folder with $TMPDIR, or /tmp.
Result<DownloadPaths> download_paths() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string root = tmpdir && *tmpdir ? tmpdir : "/tmp";
  if (root.back() != '/') root.push_back('/');
  return DownloadPaths{root + *utf16_to_utf8(DOWNLOAD_FILE_NAME),
                       root + *utf16_to_utf8(ENTITY_TAG_FILE_NAME)};
}

}  // namespace quorvel
