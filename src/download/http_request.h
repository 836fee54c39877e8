// The two requests the download sends, byte for byte. Host never carries the port.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

std::string format_head_request(std::string_view path, std::string_view host);

// A Range line is added exactly when start is not 0.
std::string format_get_request(std::string_view path, std::string_view host, uint64_t start);

}  // namespace quorvel
