#include "runtime/fatal.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "runtime/output.h"

namespace quorvel {

void fatal(const char* message) {
  print_last_line(message);
  std::abort();
}

void report_uncaught_exceptions() {
  std::set_terminate([] {
    std::string line = "未处理的异常 / uncaught exception: ";
    try {
      std::exception_ptr error = std::current_exception();
      if (!error) fatal("std::terminate called without an exception");
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      line += e.what();
    } catch (...) {
      line += "(not a std::exception)";
    }
    fatal(line.c_str());
  });
}

}  // namespace quorvel
