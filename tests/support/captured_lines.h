// The tests' one capture of the program's printed lines: every line, with its stream, from
// whichever thread prints it, while the capture lives.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download/output.h"

namespace quorvel::test {

class CapturedLines {
 public:
  using Line = std::pair<OutputStream, std::string>;
  CapturedLines() {
    set_output_sink([this](OutputStream stream, std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(stream, std::string(line));
    });
  }
  ~CapturedLines() { set_output_sink({}); }
  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> on(OutputStream stream) const {
    std::vector<std::string> result;
    for (const Line& line : lines()) {
      if (line.first == stream) result.push_back(line.second);
    }
    return result;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace quorvel::test
