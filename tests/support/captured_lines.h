// The tests' one way to receive the program's printed lines: a sink set for a scope
// (OutputSinkSwap), and on it the capture of every line with its stream, from whichever thread
// prints it, while the capture lives.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/output.h"

namespace quorvel::test {

// Lines go to `sink` instead of the streams until the scope ends, whatever an assertion did.
class OutputSinkSwap {
 public:
  explicit OutputSinkSwap(OutputSink sink) { set_output_sink(std::move(sink)); }
  ~OutputSinkSwap() { set_output_sink({}); }
  OutputSinkSwap(const OutputSinkSwap&) = delete;
  OutputSinkSwap& operator=(const OutputSinkSwap&) = delete;
};

class CapturedLines {
 public:
  using Line = std::pair<OutputStream, std::string>;
  CapturedLines()
      : swap_([this](OutputStream stream, std::string_view line) {
          std::lock_guard lock(mutex_);
          lines_.emplace_back(stream, std::string(line));
        }) {}
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
  OutputSinkSwap swap_;  // last: it ends before the lines it fills
};

}  // namespace quorvel::test
