// velmora-post: reading output.dat, forces and torques per body, the VTK
// file read back by a real reader, and the run from mesh to loads.
#include "toolkit/post_tool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/records.hpp"
#include "run/results.hpp"
#include "post_support.hpp"
#include "tool_support.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/result_io.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora {
namespace {

using testing::read_file;
using testing::run_tool;
using testing::ScratchDir;
using testing::write_file;
using testing::post_tool;
using testing::SmallCase;

constexpr double kPiD = 3.14159265358979323846;

void expect_vec(const tools::Vec3& got, const tools::Vec3& want, const char* what) {
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[k], want[k], 1e-14) << what << " component " << k + 1;
}

// Force and torque per body equal the hand sums of -A t and -A (x - c) x t.
TEST(PostLoads, HandSumsOnSmallCase) {
  const SmallCase c;
  const tools::Bodies b = tools::find_bodies(c.model.mesh);
  ASSERT_EQ(b.count, 2);
  const tools::Loads L = tools::compute_loads(c.model.mesh, b, c.t.data(), {0, 0, 0});
  const tools::BodyLoad &tet = L.bodies[0], &tri = L.bodies[1];
  EXPECT_EQ(tet.nelem, 4);
  EXPECT_NEAR(tet.area, 1.5 + std::sqrt(3.0) / 2, 1e-15);
  // Face z = 0: A = 1/2, x = (1/3, 1/3, 0); face x = 0: A = 1/2, x = (0, 1/3, 1/3).
  expect_vec(tet.centroid, {0.25, 0.25, 0.25}, "tetrahedron centroid");
  expect_vec(tet.force, {-1, 0, -0.5}, "tetrahedron force");
  expect_vec(tet.torque_point, {-1.0 / 6, -1.0 / 6, 1.0 / 3}, "tetrahedron torque about 0");
  expect_vec(tet.torque_centroid, {-1.0 / 24, -1.0 / 24, 1.0 / 12},
             "tetrahedron torque about centroid");
  // Lone triangle: A = 1/2, x = (16/3, 0, 1/3), t = (0, 1, 0); open, so its
  // centroid is the element's and its own torque about it vanishes.
  expect_vec(tri.centroid, {16.0 / 3, 0, 1.0 / 3}, "triangle centroid");
  expect_vec(tri.force, {0, -0.5, 0}, "triangle force");
  expect_vec(tri.torque_point, {1.0 / 6, 0, -8.0 / 3}, "triangle torque about 0");
  expect_vec(tri.torque_centroid, {0, 0, 0}, "triangle torque about centroid");
  expect_vec(L.force, {-1, -0.5, -0.5}, "total force");
  expect_vec(L.torque_point, {0, -1.0 / 6, -7.0 / 3}, "total torque");
}

// output.dat as the solver writes it reads back to its twelve digits,
// including three-digit exponents written without their letter.
TEST(PostResultFile, ReadsSolverRecords) {
  ScratchDir dir("res");
  SmallCase c;
  c.u[0] = 1.25e-120;
  c.u[1] = -3.5e150;
  c.write(dir);
  EXPECT_NE(read_file(dir / "output.dat").find("0.125000000000-119"), std::string::npos);
  const tools::RunResults r = tools::read_output_dat(dir / "output.dat", 5);
  for (int i = 0; i < 15; ++i) {
    // Twelve digits after 0.: half a unit of the last is 5e-12 of the value at most.
    EXPECT_NEAR(r.u[i], c.u[i], 5e-12 * std::fabs(c.u[i])) << i;
    EXPECT_EQ(r.t[i], c.t[i]);
  }
  EXPECT_NEAR(r.xg[3 * 4 + 0], 16.0 / 3, 1e-11);
  ASSERT_TRUE(r.has_force);
  EXPECT_EQ(r.force[0], -1.0);
  EXPECT_EQ(r.force[1], -0.5);
  double v = 0;
  EXPECT_TRUE(tools::parse_fortran_real("-0.5D-03", v));
  EXPECT_EQ(v, -0.5e-3);
  EXPECT_TRUE(tools::parse_fortran_real("0.1-100", v));
  EXPECT_EQ(v, 0.1e-100);
  EXPECT_FALSE(tools::parse_fortran_real("1.2.3", v));
}

// Files that do not belong together, or a result file cut short, are refused clearly.
TEST(PostResultFile, RefusesMismatchedFiles) {
  ScratchDir dir("mismatch");
  const SmallCase c;
  auto fails = [&](const std::string& message) {
    const testing::ToolRun r = post_tool({"--dir", dir.path().string()});
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  };
  c.write(dir, 1);
  fails("holds 4 element records but the model has 5 elements");

  SmallCase more = c;  // a model with one element fewer than the results
  more.write(dir);
  SurfaceMesh& m = more.model.mesh;
  m.nelem = 4;
  m.ielem = {1, 1, 1, 2, 2, 3, 4, 4, 3, 4, 2, 3};
  more.model.bc.resize(24);
  {
    std::ofstream f(dir / "input.dat");
    tools::write_input_dat(f, more.model);
  }
  fails("more element records than the 4 elements");

  c.write(dir);  // same counts, another geometry
  SmallCase moved = c;
  moved.model.mesh.xnode[4] = 5.5;
  {
    std::ofstream f(dir / "input.dat");
    tools::write_input_dat(f, moved.model);
  }
  fails("collocation point of element 5 differs");

  c.write(dir);
  write_file(dir / "output.dat", "title\n \n");
  fails("has no \"Boundary solutions:\" record");
  std::string text = c.output_dat();
  text.replace(text.find("       3 "), 9, "       7 ");
  write_file(dir / "output.dat", text);
  fails("expected the record of element 3");
  write_file(dir / "input.dat", "t\nt\n 5 7 1.\n nodes\n 1 0 0 zz\n");
  fails("input.dat, line 5: expected a real (z of node 1)");
  std::filesystem::remove(dir / "input.dat");
  fails("cannot open");
}

// The tool prints the loads and writes the VTK file; without a force line it warns.
TEST(PostTool, ReportsLoads) {
  ScratchDir dir("report");
  const SmallCase c;
  c.write(dir);
  const testing::ToolRun r = post_tool({"--dir", dir.path().string(), "--about=1,0,0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("body 1 force: -1 0 -0.5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("body 2: 1 elements, open"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("total force: -1 -0.5 -0.5\n"), std::string::npos) << r.out;
  // About (1,0,0): L(0) - p x F = (0, -1/6, -7/3) - (0, 0.5, -0.5).
  EXPECT_NE(r.out.find("total torque about (1 0 0): 0 -0.6666666667 -1.833333333\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(std::filesystem::exists(dir / "output.vtu"));
  write_file(dir / "output.dat", c.output_dat(0, false));
  const testing::ToolRun w = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_EQ(w.status, 0);
  EXPECT_NE(w.err.find("no total force record"), std::string::npos) << w.err;
}

// The .vtu file read back by meshio holds the triangles, the points, the
// cell data and the nodal averages exactly.
TEST(PostVtu, ReadBackByMeshio) {
  if (std::system("/usr/bin/python3 -c 'import meshio' > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "/usr/bin/python3 with meshio (Debian python3-meshio) is not installed";
  ScratchDir dir("vtu");
  const SmallCase c;
  c.write(dir);
  ASSERT_EQ(post_tool({"--dir", dir.path().string(), "--vtu", dir / "s.vtu"}).status, 0);
  write_file(dir / "read.py", R"(import sys, meshio
m = meshio.read(sys.argv[1])
tri = m.cells_dict["triangle"]
print(len(m.points), len(tri))
for p in m.points: print(*map(repr, p))
for i, t in enumerate(tri):
    row = list(t) + [repr(float(x)) for name in ("velocity", "traction_on_fluid", "normal") for x in m.cell_data_dict[name]["triangle"][i]]
    assert (m.cell_data_dict["traction_on_body"]["triangle"][i] == -m.cell_data_dict["traction_on_fluid"]["triangle"][i]).all()
    row += [repr(float(m.cell_data_dict["area"]["triangle"][i])), int(m.cell_data_dict["body"]["triangle"][i])]
    print(*row)
for i in range(len(m.points)):
    assert (m.point_data["traction_on_body"][i] == -m.point_data["traction_on_fluid"][i]).all()
    print(*[repr(float(x)) for name in ("velocity", "traction_on_fluid") for x in m.point_data[name][i]])
)");
  const std::string cmd = "/usr/bin/python3 " + (dir / "read.py") + " " + (dir / "s.vtu") + " > " +
                          (dir / "read.txt") + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(dir / "read.txt");
  std::istringstream in(read_file(dir / "read.txt"));
  const SurfaceMesh& m = c.model.mesh;
  int np = 0, nc = 0;
  in >> np >> nc;
  ASSERT_EQ(np, 7);
  ASSERT_EQ(nc, 5);
  for (int k = 1; k <= 7; ++k)
    for (int d = 1; d <= 3; ++d) {
      double x;
      in >> x;
      EXPECT_EQ(x, m.x(k, d));
    }
  const double s3 = 1 / std::sqrt(3.0);
  const double normals[5][3] = {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {-s3, -s3, -s3}, {0, -1, 0}};
  const double areas[5] = {0.5, 0.5, 0.5, std::sqrt(3.0) / 2, 0.5};
  for (int e = 1; e <= 5; ++e) {
    for (int v = 1; v <= 3; ++v) {
      int n;
      in >> n;
      EXPECT_EQ(n + 1, m.node(e, v));
    }
    double x;
    for (int k = 0; k < 3; ++k) {
      in >> x;
      EXPECT_NEAR(x, c.u[3 * (e - 1) + k], 1e-12);
    }
    for (int k = 0; k < 3; ++k) {
      in >> x;
      EXPECT_EQ(x, c.t[3 * (e - 1) + k]);
    }
    for (int k = 0; k < 3; ++k) {
      in >> x;
      EXPECT_NEAR(x, normals[e - 1][k], 1e-15);
    }
    in >> x;
    EXPECT_NEAR(x, areas[e - 1], 1e-15);
    int body;
    in >> body;
    EXPECT_EQ(body, e == 5 ? 2 : 1);
  }
  // Node 1 lies on faces 1, 2, 3: the mean of their tractions.
  double pu[3], pt[3];
  for (double& x : pu) in >> x;
  for (double& x : pt) in >> x;
  EXPECT_NEAR(pt[0], 2.0 / 3, 1e-15);
  EXPECT_NEAR(pt[2], 1.0 / 3, 1e-15);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(pu[k], (c.u[k] + c.u[3 + k] + c.u[6 + k]) / 3, 1e-12);
  EXPECT_FALSE(in.fail());
}

// ------------------------------------------------------------ end to end

// Runs `exe` with `args` in `dir`, its standard output and error to
// `name`.out and `name`.err there; returns the exit status.
int run_in(const ScratchDir& dir, const std::string& exe, const std::string& args,
           const std::string& name) {
  const std::string cmd = "cd '" + dir.path().string() + "' && '" + exe + "' " + args + " > " +
                          name + ".out 2> " + name + ".err";
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

tools::Vec3 reported(const std::string& out, const std::string& label) {
  const std::size_t p = out.find(label);
  tools::Vec3 v{NAN, NAN, NAN};
  if (p == std::string::npos) return v;
  std::istringstream in(out.substr(p + label.size()));
  in >> v[0] >> v[1] >> v[2];
  return v;
}

// Sphere of radius a = 0.5 in fluid of viscosity mu = 2: translating with U
// it feels the Stokes drag -6 pi mu a U, rotating with Omega the torque
// -8 pi mu a^3 Omega.  Constant flat elements on 1280 triangles carry an
// O(h^2) geometric error of about half a per cent (the area deficit), so
// three per cent is the bound.  The three programs run as a user runs them.
TEST(PostEndToEnd, StokesDragAndRotatingSphereTorque) {
  const double a = 0.5, mu = 2.0;
  ScratchDir move("drag"), spin("torque");
  const std::string sphere = "sphere --radius 0.5 --refine 3 --mu 2 ";
  ASSERT_EQ(run_in(move, VELMORA_MESH_EXE, sphere + "--velocity 0,0.5,0", "mesh"), 0)
      << read_file(move / "mesh.err");
  ASSERT_EQ(run_in(spin, VELMORA_MESH_EXE, sphere + "--rotation 0,0,3", "mesh"), 0)
      << read_file(spin / "mesh.err");
  EXPECT_NE(read_file(move / "mesh.out").find("1280 elements, 642 nodes, 1 body"),
            std::string::npos);
  ASSERT_EQ(run_in(move, VELMORA_EXE, "", "solve"), 0) << read_file(move / "solve.err");
  ASSERT_EQ(run_in(spin, VELMORA_EXE, "", "solve"), 0) << read_file(spin / "solve.err");

  ASSERT_EQ(run_in(move, VELMORA_POST_EXE, "", "post"), 0) << read_file(move / "post.err");
  const std::string f = read_file(move / "post.out");
  const tools::Vec3 F = reported(f, "total force:");
  const double drag = -6 * kPiD * mu * a * 0.5;
  EXPECT_NEAR(F[1], drag, 0.03 * std::fabs(drag)) << f;
  EXPECT_NEAR(F[0], 0, 1e-3 * std::fabs(drag));
  EXPECT_NEAR(F[2], 0, 1e-3 * std::fabs(drag));
  EXPECT_TRUE(std::filesystem::exists(move / "output.vtu"));

  ASSERT_EQ(run_in(spin, VELMORA_POST_EXE, "", "post"), 0) << read_file(spin / "post.err");
  const std::string t = read_file(spin / "post.out");
  const tools::Vec3 L = reported(t, "body 1 torque about centroid:");
  const double torque = -8 * kPiD * mu * a * a * a * 3;
  EXPECT_NEAR(L[2], torque, 0.03 * std::fabs(torque)) << t;
  EXPECT_NEAR(L[0], 0, 1e-3 * std::fabs(torque));
  EXPECT_NEAR(L[1], 0, 1e-3 * std::fabs(torque));
  const tools::Vec3 G = reported(t, "total force:");
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(G[k], 0, 1e-3 * std::fabs(torque) / a);
}

}  // namespace
}  // namespace velmora
