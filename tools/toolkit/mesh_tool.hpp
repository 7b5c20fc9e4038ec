// velmora-mesh: writes the model file input.dat (and a control file
// input.cnd fitted to the mesh, unless one exists) for a built-in body or a
// mesh or geometry file read through Gmsh, with rigid-body or traction
// boundary conditions per body or per physical group.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::tools {

// Runs the tool on the words after the program name; the summary goes to
// `out`, warnings and errors to `err`.  Returns the exit status.
int run_mesh_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The usage text.
std::string mesh_usage();

}  // namespace velmora::tools
