#include "download/download_paths.h"
#include "runtime/paths.h"
#include "runtime/utf.h"

namespace quorvel {

Result<std::wstring> download_file_path() {
  return temp_file_path(DOWNLOAD_FILE_NAME);
}

Result<DownloadPaths> download_paths() {
  auto file_path = download_file_path();
  if (!file_path) return file_path.take_error();
  auto entity_tag_path = temp_file_path(ENTITY_TAG_FILE_NAME);
  if (!entity_tag_path) return entity_tag_path.take_error();
  auto file = utf16_to_utf8(*file_path);
  auto entity_tag = utf16_to_utf8(*entity_tag_path);
  if (!file || !entity_tag) {
    return Error::kind(ErrorKind::InvalidData,
                       "临时文件夹的路径不是有效的 Unicode 文本，无法保存下载文件");
  }
  return DownloadPaths{std::move(*file), std::move(*entity_tag)};
}

}  // namespace quorvel
