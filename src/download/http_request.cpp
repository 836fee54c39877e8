#include "download/http_request.h"

namespace quorvel {

std::string format_head_request(std::string_view path, std::string_view host) {
  std::string request = "HEAD ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  request.append("\r\nConnection: close\r\n\r\n");
  return request;
}

std::string format_get_request(std::string_view path, std::string_view host, uint64_t start) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  request.append("\r\nConnection: close\r\n");
  if (start != 0) request.append("Range: bytes=").append(std::to_string(start)).append("-\r\n");
  request.append("\r\n");
  return request;
}

}  // namespace quorvel
