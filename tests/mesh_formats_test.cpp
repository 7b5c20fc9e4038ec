// Mesh files read by velmora-mesh's own readers (.obj, .off) and through
// meshio (.vtu, binary .vtk): the same closed surfaces back, and clear
// errors for missing files, unknown formats and malformed records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tool_support.hpp"
#include "toolkit/mesh_formats.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

using testing::closed_and_consistent;
using testing::mesh_area;
using testing::read_file;
using testing::run_tool;
using testing::ScratchDir;
using testing::ToolRun;
using testing::write_file;

// Sum of x1 . (x2 x x3) / 6: the enclosed volume, positive when the normals
// (x2 - x1) x (x3 - x1) point out of it.
double enclosed_volume(const SurfaceMesh& m) {
  double v = 0;
  for (int e = 1; e <= m.nelem; ++e) {
    double x[3][3];
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) x[k][c] = m.x(m.node(e, k + 1), c + 1);
    v += (x[0][0] * (x[1][1] * x[2][2] - x[1][2] * x[2][1]) +
          x[0][1] * (x[1][2] * x[2][0] - x[1][0] * x[2][2]) +
          x[0][2] * (x[1][0] * x[2][1] - x[1][1] * x[2][0])) /
         6.0;
  }
  return v;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool meshio_present() {
  return std::system("/usr/bin/python3 -c 'import meshio' > /dev/null 2>&1") == 0;
}

// The unit cube [0,1]^3 as six outward quadrilaterals, in the OBJ forms
// i, i/t/n, i//n and negative (relative) indices, the top in group "lid".
const char* const kCubeObj = R"(# unit cube
o cube
v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
v 0 0 1
v 1 0 1
v 1 1 1
v 0 1 1
vt 0 0
vn 0 0 1
f 1/1/1 4/1/1 3/1/1 2/1/1
f -8 -7 -3 -4
f 3//1 4//1 8//1 7//1
f 1 5 8 4
f 2 3 7 6
g lid
f 5 6 7 8
)";

// Quadrilaterals split into two triangles each, the orientation kept
// (volume +1 with outward normals), nodes numbered by first use, and the
// named groups of the g/o lines.
TEST(MeshFormats, ObjCubeReadsBackClosed) {
  ScratchDir dir("formats");
  write_file(dir / "cube.obj", kCubeObj);
  const ImportedSurface s = read_obj(dir / "cube.obj");
  ASSERT_EQ(s.mesh.nelem, 12);
  EXPECT_EQ(s.mesh.nnode, 8);
  EXPECT_TRUE(closed_and_consistent(s.mesh));
  EXPECT_NEAR(enclosed_volume(s.mesh), 1.0, 1e-14);
  EXPECT_NEAR(mesh_area(s.mesh), 6.0, 1e-14);
  // First use: the first face's vertices 1 4 3 2 become nodes 1 2 3 4.
  EXPECT_EQ(s.mesh.x(2, 2), 1.0);  // vertex 4 = (0, 1, 0)
  EXPECT_EQ(s.mesh.x(2, 1), 0.0);
  ASSERT_EQ(s.group.size(), 12u);
  for (int e = 0; e < 10; ++e) EXPECT_EQ(s.group[e], 1) << e;  // "cube"
  EXPECT_EQ(s.group[10], 2);
  EXPECT_EQ(s.group[11], 2);
  EXPECT_EQ(s.group_names.at(1), "cube");
  EXPECT_EQ(s.group_names.at(2), "lid");
}

// A pentagon becomes the fan of three triangles from its first vertex.
TEST(MeshFormats, ObjPolygonIsAFan) {
  ScratchDir dir("formats");
  write_file(dir / "p.obj", "v 0 0 0\nv 2 0 0\nv 3 1 0\nv 1 2 0\nv -1 1 0\nf 1 2 3 4 5\n");
  const ImportedSurface s = read_obj(dir / "p.obj");
  ASSERT_EQ(s.mesh.nelem, 3);
  for (int e = 1; e <= 3; ++e) {
    EXPECT_EQ(s.mesh.node(e, 1), 1);
    EXPECT_EQ(s.mesh.node(e, 2), e + 1);
    EXPECT_EQ(s.mesh.node(e, 3), e + 2);
  }
  // Shoelace area of the (convex) pentagon: 5.
  EXPECT_NEAR(mesh_area(s.mesh), 5.0, 1e-14);
}

// A square pyramid (base 2 x 2, height 3) in OFF with a quadrilateral base,
// comments and face colours: volume 4, area 4 + 4 sqrt(10).
TEST(MeshFormats, OffPyramidReadsBackClosed) {
  ScratchDir dir("formats");
  const std::string body =
      "# pyramid\n5 5 8\n-1 -1 0\n1 -1 0\n1 1 0\n-1 1 0  # corner\n0 0 3\n"
      "4 0 3 2 1\n3 0 1 4 255 0 0\n3 1 2 4\n3 2 3 4\n3 3 0 4\n";
  for (const std::string& head : {std::string("OFF\n"), std::string("COFF ")}) {
    write_file(dir / "p.off", head + body);
    const ImportedSurface s = read_off(dir / "p.off");
    ASSERT_EQ(s.mesh.nelem, 6) << head;
    EXPECT_EQ(s.mesh.nnode, 5);
    EXPECT_TRUE(closed_and_consistent(s.mesh));
    EXPECT_NEAR(enclosed_volume(s.mesh), 4.0, 1e-13);
    EXPECT_NEAR(mesh_area(s.mesh), 4.0 + 4.0 * std::sqrt(10.0), 1e-13);
  }
}

// Malformed records stop with the file and line.
TEST(MeshFormats, MalformedRecordsNameTheLine) {
  ScratchDir dir("formats");
  auto message = [](auto read, const std::string& path) {
    try {
      read(path);
    } catch (const ToolError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  write_file(dir / "a.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n");
  EXPECT_TRUE(contains(message(read_obj, dir / "a.obj"), "a.obj:4: the face refers to vertex 9"));
  write_file(dir / "b.obj", "v 0 0 0\nv 1 0 0\nf 1 2\n");
  EXPECT_TRUE(contains(message(read_obj, dir / "b.obj"), "b.obj:3: a face needs three"));
  write_file(dir / "c.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -4\n");
  EXPECT_TRUE(contains(message(read_obj, dir / "c.obj"), "c.obj:4:"));
  write_file(dir / "a.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n");
  EXPECT_TRUE(contains(message(read_off, dir / "a.off"), "a.off:6: the face refers to vertex 3"));
  write_file(dir / "b.off", "PLY\n3 1 0\n");
  EXPECT_TRUE(contains(message(read_off, dir / "b.off"), "b.off:1: expected the header OFF"));
  write_file(dir / "c.off", "OFF\n4 1 0\n0 0 0\n1 0 0\n0 1 0\n");
  EXPECT_TRUE(contains(message(read_off, dir / "c.off"), "expected vertex 3 of 4"));
}

// Legacy .vtk goes to Gmsh when ASCII before version 5 and to meshio when
// binary or of version 5; the extensions pick the others.
TEST(MeshFormats, FormatByExtensionAndHeader) {
  ScratchDir dir("formats");
  write_file(dir / "a.vtk", "# vtk DataFile Version 3.0\ntitle\nASCII\nDATASET POLYDATA\n");
  write_file(dir / "b.vtk", "# vtk DataFile Version 3.0\ntitle\nBINARY\nDATASET POLYDATA\n");
  EXPECT_EQ(mesh_format_of(dir / "a.vtk"), MeshFormat::gmsh);
  EXPECT_EQ(mesh_format_of(dir / "b.vtk"), MeshFormat::meshio);
  write_file(dir / "c.vtk", "# vtk DataFile Version 5.1\ntitle\nASCII\nDATASET POLYDATA\n");
  EXPECT_EQ(mesh_format_of(dir / "c.vtk"), MeshFormat::meshio);
  EXPECT_EQ(mesh_format_of("x.OBJ"), MeshFormat::obj);
  EXPECT_EQ(mesh_format_of("x.off"), MeshFormat::off);
  EXPECT_EQ(mesh_format_of("x.msh"), MeshFormat::gmsh);
  EXPECT_EQ(mesh_format_of("x.stl"), MeshFormat::gmsh);
  EXPECT_EQ(mesh_format_of("x.geo"), MeshFormat::gmsh);
  EXPECT_EQ(mesh_format_of("x.vtu"), MeshFormat::meshio);
  EXPECT_EQ(mesh_format_of("x.ply"), MeshFormat::meshio);
}

// The cube written by meshio as .vtu and as binary legacy .vtk, with a
// line and a tetrahedron beside the quadrilaterals: the same closed cube
// back, the other cells skipped with a note.
TEST(MeshFormats, MeshioFilesReadBackClosed) {
  if (!meshio_present()) GTEST_SKIP() << "/usr/bin/python3 with meshio is not installed";
  ScratchDir dir("formats");
  write_file(dir / "w.py", R"(import sys, meshio, numpy as np
p = np.array([[0,0,0],[1,0,0],[1,1,0],[0,1,0],[0,0,1],[1,0,1],[1,1,1],[0,1,1]], dtype=float)
q = np.array([[0,3,2,1],[4,5,6,7],[0,1,5,4],[2,3,7,6],[0,4,7,3],[1,2,6,5]])
m = meshio.Mesh(p, [("quad", q), ("line", np.array([[0, 6]])), ("tetra", np.array([[0, 1, 2, 4]]))])
meshio.write(sys.argv[1] + "/cube.vtu", m)
meshio.write(sys.argv[1] + "/cube.vtk", m, binary=True)
)");
  ASSERT_EQ(std::system(("/usr/bin/python3 " + (dir / "w.py") + " " + dir.path().string()).c_str()), 0);
  ASSERT_TRUE(contains(read_file(dir / "cube.vtk"), "\nBINARY\n"));
  for (const char* name : {"cube.vtu", "cube.vtk"}) {
    const ImportedSurface s = read_with_meshio(dir / name);
    ASSERT_EQ(s.mesh.nelem, 12) << name;
    EXPECT_EQ(s.mesh.nnode, 8);
    EXPECT_TRUE(closed_and_consistent(s.mesh));
    EXPECT_NEAR(enclosed_volume(s.mesh), 1.0, 1e-14);
    bool noted = false;
    for (const std::string& n : s.notes) noted = noted || (contains(n, "1 line") && contains(n, "1 tetra"));
    EXPECT_TRUE(noted) << name;
  }
  // Volume cells only: no surface.
  write_file(dir / "t.py", R"(import sys, meshio, numpy as np
p = np.array([[0,0,0],[1,0,0],[0,1,0],[0,0,1]], dtype=float)
meshio.write(sys.argv[1] + "/tet.vtu", meshio.Mesh(p, [("tetra", np.array([[0, 1, 2, 3]]))]))
)");
  ASSERT_EQ(std::system(("/usr/bin/python3 " + (dir / "t.py") + " " + dir.path().string()).c_str()), 0);
  try {
    read_with_meshio(dir / "tet.vtu");
    ADD_FAILURE() << "no error";
  } catch (const ToolError& e) {
    EXPECT_TRUE(contains(e.what(), "holds no surface cells")) << e.what();
    EXPECT_TRUE(contains(e.what(), "1 tetra")) << e.what();
  }
}

// A Python that does not exist gives the message naming meshio's package.
TEST(MeshFormats, MissingPythonIsNamed) {
  ScratchDir dir("formats");
  write_file(dir / "x.vtu", "<VTKFile/>\n");
  try {
    read_with_meshio(dir / "x.vtu", "/nonexistent/python3");
    ADD_FAILURE() << "no error";
  } catch (const ToolError& e) {
    EXPECT_TRUE(contains(e.what(), "needs meshio for /nonexistent/python3")) << e.what();
    EXPECT_TRUE(contains(e.what(), "python3-meshio")) << e.what();
  }
}

// velmora-mesh on an .obj file: input.dat holds the cube turned for
// exterior flow (volume -1) and its groups; a missing file and an unknown
// format stop with status 1 and one clear line.
TEST(MeshFormats, VelmoraMeshReadsObjAndRefusesTheRest) {
  ScratchDir dir("formats");
  write_file(dir / "cube.obj", kCubeObj);
  const ToolRun r = run_tool(run_mesh_tool, {dir / "cube.obj", "--dir", dir.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Model m = read_input_dat(dir / "input.dat");
  ASSERT_EQ(m.mesh.nelem, 12);
  EXPECT_NEAR(enclosed_volume(m.mesh), -1.0, 1e-14);
  EXPECT_TRUE(contains(read_file(dir / "input.dat"), "\"lid\"")) << read_file(dir / "input.dat");

  const ToolRun missing = run_tool(run_mesh_tool, {dir / "nothing.msh", "--dir", dir.path().string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "nothing.msh: no such file")) << missing.err;

  write_file(dir / "model.xyz", "1 2 3\n");
  const ToolRun unknown = run_tool(run_mesh_tool, {dir / "model.xyz", "--dir", dir.path().string()});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 1) << unknown.err;
  if (meshio_present())
    EXPECT_TRUE(contains(unknown.err, "unknown mesh format .xyz")) << unknown.err;
}

// The pace of a task of equal parts: the remaining parts at the mean time
// per part so far; no estimate before the first part and after the last.
TEST(MeshFormats, ProgressPaceAndQuietSteps) {
  EXPECT_EQ(pace_text(10.0, 2, 6), "elapsed 10.0 s, about 20.0 s left");
  EXPECT_EQ(pace_text(10.0, 6, 6), "elapsed 10.0 s");
  EXPECT_EQ(pace_text(0.0, 0, 6), "elapsed 0.0 s");
  EXPECT_EQ(pace_text(90.0, 1, 3), "elapsed 90.0 s, about 3.0 min left");
  // A step that ends before its delay prints nothing.
  std::ostringstream os;
  {
    SlowStep step(&os, "before", "working", 3600.0);
    step.finish("after");
  }
  EXPECT_EQ(os.str(), "");
}

}  // namespace
}  // namespace velmora::tools
