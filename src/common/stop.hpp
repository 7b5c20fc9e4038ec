// Fatal stops.
//
// A fatal condition of the library travels to its caller as a StopRun that
// carries the one-line message (what()) and the exit status a program ends
// with.  The library writes nothing for it: the programs' entries write the
// message to the error stream (report_stop, common/units.hpp) and return the
// status; other callers (the Python module, tests) read it from the
// exception.  Unwinding closes the files in order.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora {

class StopRun : public std::runtime_error {
 public:
  explicit StopRun(const std::string& what, int status = 1)
      : std::runtime_error(what), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Throws StopRun with `record` as its message (the caller supplies the
// leading blank of a free-format record where one is wanted).
[[noreturn]] void fatal_stop(std::string_view record, int status = 1);

}  // namespace velmora
