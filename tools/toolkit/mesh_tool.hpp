// velmora-mesh: writes the model file input.dat (and a control file
// input.cnd fitted to the mesh, unless one exists) for a built-in body or a
// mesh or geometry file read through Gmsh, with rigid-body or traction
// boundary conditions per body or per physical group.
#pragma once

#include <iosfwd>
#include <string>
#include <map>
#include <vector>

#include <optional>

#include "toolkit/model_io.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

// Runs the tool on the words after the program name; the summary goes to
// `out`, warnings and errors to `err`.  Returns the exit status.
int run_mesh_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The usage text.
std::string mesh_usage();

// The surface velmora-mesh makes for these words (a built-in shape or a
// file with their options, as on its command line; boundary-condition
// options are parsed but not used, except --interior): coincident nodes
// merged, degenerate elements removed, every closed body oriented for
// exterior flow or, marked --interior (or interior in a model file's notes),
// as a container of the fluid; bodies closer than their elements warned of.  Its
// notes and warnings go to `err` as velmora-mesh writes them; bad words or
// files throw ToolError with velmora-mesh's message.
struct PreparedMesh {
  SurfaceMesh mesh;
  std::vector<int> group;                  // physical group per element (0: none)
  std::map<int, std::string> group_names;  // tag -> name
  Bodies bodies;
  std::vector<BodyCheck> checks;  // per body
  std::vector<int> interior;      // containers, body numbers ascending
  std::vector<int> origin;        // element number before the clean-up, per element
  std::optional<Model> source;    // the model file read, for a .dat FILE
};
PreparedMesh prepare_mesh(const std::vector<std::string>& words, std::ostream& err);

}  // namespace velmora::tools
