// Errors of the companion tools: a message for the user, written by the
// tool's entry as "velmora-mesh: <message>" with a non-zero exit status.
#pragma once

#include <stdexcept>

namespace velmora::tools {

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmora::tools
