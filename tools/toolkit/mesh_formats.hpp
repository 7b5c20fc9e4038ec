// Surface-mesh files that velmora-mesh reads besides Gmsh's own formats:
// Wavefront .obj and .off by readers of their own, and whatever meshio
// reads (.vtu, binary legacy .vtk, .ply, .xdmf, ...) through meshio in a
// Python subprocess.  The file's format is chosen by its extension (and,
// for .vtk, by its header: Gmsh reads ASCII legacy files before version 5
// only).
#pragma once

#include <string>

#include "toolkit/gmsh_import.hpp"

namespace velmora::tools {

enum class MeshFormat {
  gmsh,    // geometry or mesh formats Gmsh reads well (.geo, .msh, .stl, .step, ...)
  obj,     // Wavefront OBJ
  off,     // Object File Format
  meshio,  // everything else: handed to meshio, which names what it cannot read
};

// The reader for `path`, from its extension (case-insensitive) and, for
// .vtk, the header (ASCII before version 5 to Gmsh, BINARY or version 5
// to meshio).
MeshFormat mesh_format_of(const std::string& path);

// Wavefront OBJ: "v x y z [w]" vertices and "f" faces of three or more
// vertices given as i, i/t, i//n or i/t/n, 1-based or negative (relative to
// the vertices read so far).  Polygons are split into fans (v1, vk, vk+1),
// which keeps their orientation.  "g NAME" and "o NAME" lines start groups:
// the elements after them belong to a group of that name (numbered 1, 2,
// ... in order of first appearance); elements before any belong to none.
// Other records (vt, vn, usemtl, l, ...) are skipped.  Nodes are numbered in
// order of first use.  Throws ToolError naming the file and line.
ImportedSurface read_obj(const std::string& path);

// OFF: an "OFF" header (optionally "COFF", "NOFF", ... and the counts on
// the same line), the counts "NV NF NE", NV vertex lines "x y z ..." and NF
// faces "n i1 ... in ..." with 0-based indices, split into fans.  '#' starts
// a comment.  Nodes are numbered in order of first use.
ImportedSurface read_off(const std::string& path);

// Any file meshio reads, through `python` (a Python 3 with meshio; Debian's
// python3-meshio installs it for /usr/bin/python3).  Triangle blocks are
// kept, quadrilaterals split into two triangles, polygons into fans and
// second-order triangles and quadrilaterals reduced to their corners; other
// cells (lines, vertices, volume cells) are skipped with a note.  Cell data
// "gmsh:physical" becomes the element groups.  Throws ToolError when Python
// or meshio is missing, when meshio cannot read the file and when it holds
// no surface cells.
ImportedSurface read_with_meshio(const std::string& path,
                                 const std::string& python = "/usr/bin/python3");

// Reads `path`, of a format other than MeshFormat::gmsh, by its reader;
// a positive `size` (which meshes geometry only) gets a note that it is not
// used.
ImportedSurface read_mesh_file(const std::string& path, MeshFormat format, double size);

}  // namespace velmora::tools
