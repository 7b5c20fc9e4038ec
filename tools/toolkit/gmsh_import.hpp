// Surface meshes from files: through Gmsh, meshes (.msh, .stl, ASCII .vtk,
// ...) are taken as they are and geometry (.geo, .step, .brep, ...) is
// meshed in 2-D first; .obj, .off and the formats meshio reads go to the
// readers of toolkit/mesh_formats.hpp.  Gmsh is used only when the library
// was found at configure time.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "bem/shapes.hpp"

namespace velmora::tools {

struct ImportedSurface {
  SurfaceMesh mesh;
  std::vector<int> group;                  // physical group of each element, 0 for none
  std::map<int, std::string> group_names;  // tag -> name ("" when unnamed)
  std::vector<std::string> notes;          // remarks for the user (skipped element types, ...)
};

// True when this build can read files through Gmsh.
bool gmsh_available();

// Reads `path`, by the reader mesh_format_of chooses.  When the file holds no surface elements, its geometry is
// meshed with triangles of at most `size` (Gmsh's own default where size is
// not positive).  Quadrilaterals are split into two triangles and
// higher-order elements reduced to their corner nodes.  Nodes are numbered
// in the order of their first use, elements in Gmsh's order per surface.
// Throws ToolError when the file is missing, unreadable or has no surface.
ImportedSurface import_with_gmsh(const std::string& path, double size, bool verbose = false);

// While one lives, the imports write progress lines for their long steps
// (Gmsh meshing or reading for more than a moment) to `sink`; null for
// none.  Not for concurrent imports.
class ImportProgress {
 public:
  explicit ImportProgress(std::ostream* sink);
  ~ImportProgress();
  ImportProgress(const ImportProgress&) = delete;
  ImportProgress& operator=(const ImportProgress&) = delete;
  static std::ostream* sink();

 private:
  std::ostream* previous_;
};

}  // namespace velmora::tools
