// velmora-rigid: velocities and rotations of rigid bodies under given
// forces and torques (the mobility problem), and the grand resistance and
// mobility matrices, by the completed double layer of src/rigid.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::tools {

// Runs the tool on the words after the program name; the summary goes to
// `out`, errors to `err`.  Returns the exit status: 0 done, 1 bad input,
// 2 usage, 3 a solve did not converge (results written).
int run_rigid_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string rigid_usage();

}  // namespace velmora::tools
