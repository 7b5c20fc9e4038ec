// Fatal stops.
//
// A fatal condition writes its one-line message to the error stream and ends
// the run with a non-zero exit status.  The stop travels as an exception so
// that the program entry closes the files in order and tests can observe it.
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

// Writes `record` as one line to the error stream (the caller supplies the
// leading blank of a free-format record where one is wanted) and throws
// StopRun.
[[noreturn]] void fatal_stop(std::string_view record, int status = 1);

}  // namespace velmora
