#include "runtime/paths.h"

namespace quorvel {

std::wstring join_path(std::wstring_view base, std::wstring_view component) {
  std::wstring path(base);
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += component;
  return path;
}

std::wstring app_data_root_from(const std::optional<std::wstring>& local_app_data) {
  if (local_app_data) return *local_app_data;
  return std::wstring(APP_DATA_FALLBACK);
}

}  // namespace quorvel
