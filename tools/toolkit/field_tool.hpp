// velmora-field: the flow of a solved model at points in the fluid, written
// as a table (field.csv) or as VTK files for ParaView (field.vti, field.vtp).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::tools {

// Runs the tool on the words after the program name; the report and the
// progress go to `out`, errors to `err`.  Returns the exit status: 0 done,
// 1 bad input (message naming the file and line), 2 bad usage.
int run_field_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
std::string field_usage();

}  // namespace velmora::tools
