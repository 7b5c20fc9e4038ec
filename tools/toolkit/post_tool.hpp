// velmora-post: reads input.dat and output.dat of a run, prints the force
// and torque on every body and in total, and writes a VTK file of the
// surface solution for ParaView.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::tools {

// Runs the tool on the words after the program name; the report goes to
// `out`, errors to `err`.  Returns the exit status.
int run_post_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string post_usage();

}  // namespace velmora::tools
