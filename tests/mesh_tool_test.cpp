// velmora-mesh: built-in bodies, topology and orientation, the model and
// control files, boundary conditions, and import through Gmsh.
#include "toolkit/mesh_tool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bem/shapes.hpp"
#include "common/units.hpp"
#include "fmm_support.hpp"
#include "tool_support.hpp"
#include "toolkit/gmsh_import.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

#ifdef VELMORA_HAVE_GMSH
#include <gmsh.h>
#endif

namespace velmora {
namespace {

using testing::closed_and_consistent;
using testing::mesh_area;
using testing::read_file;
using testing::run_tool;
using testing::ScratchDir;
using testing::write_file;
using tools::Model;

constexpr double kPiD = 3.14159265358979323846;

testing::ToolRun mesh_tool(const std::vector<std::string>& args) {
  return run_tool(tools::run_mesh_tool, args);
}

// Reads the input.dat that the tool wrote, silencing nothing: errors fail the test.
Model model_in(const ScratchDir& dir) {
  return tools::read_input_dat(dir / "input.dat");
}

// Area of a spheroid with semi-axes a, a, c (closed forms, prolate and oblate).
double spheroid_area(double a, double c) {
  if (c > a) {
    const double e = std::sqrt(1 - a * a / (c * c));
    return 2 * kPiD * a * a * (1 + c / (a * e) * std::asin(e));
  }
  const double e = std::sqrt(1 - c * c / (a * a));
  return 2 * kPiD * a * a * (1 + (1 - e * e) / e * std::atanh(e));
}

// ------------------------------------------------------------ built-in bodies

// The torus is closed, oriented into the body, and its area and volume tend
// to 4 pi^2 R r and 2 pi^2 R r^2 at second order in the grid step.
TEST(MeshShapes, TorusClosedInwardConverging) {
  const double R = 2.0, r = 0.5, c[3] = {1, -2, 3};
  const double area = 4 * kPiD * kPiD * R * r, vol = 2 * kPiD * kPiD * R * r * r;
  double prev_a = 0, prev_v = 0;
  for (int n = 16; n <= 64; n *= 2) {
    const SurfaceMesh m = torus(2 * n, n / 2, R, r, c);
    EXPECT_EQ(m.nelem, 2 * n * n);
    EXPECT_TRUE(closed_and_consistent(m));
    const tools::Bodies b = tools::find_bodies(m);
    const std::vector<tools::BodyGeometry> g = tools::body_geometry(m, b);
    ASSERT_EQ(b.count, 1);
    EXPECT_TRUE(g[0].closed);
    EXPECT_LT(signed_volume(m), 0.0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(g[0].centroid[k], c[k], 1e-12);
    const double ea = std::fabs(g[0].area - area) / area, ev = std::fabs(g[0].volume - vol) / vol;
    if (prev_a > 0) {
      EXPECT_NEAR(prev_a / ea, 4.0, 0.3);
      EXPECT_NEAR(prev_v / ev, 4.0, 0.3);
    }
    prev_a = ea;
    prev_v = ev;
  }
  EXPECT_LT(prev_a, 2e-3);
}

// Several spheres form separate closed bodies in the order given, each with its centre.
TEST(MeshShapes, SeveralSpheresAreSeparateBodies) {
  const SurfaceMesh m = spheres(2, {{{0, 0, 0}, 1.0}, {{3, 0, 0}, 0.5}, {{0, 4, 1}, 2.0}});
  EXPECT_EQ(m.nelem, 3 * 320);
  EXPECT_TRUE(closed_and_consistent(m));
  const tools::Bodies b = tools::find_bodies(m);
  ASSERT_EQ(b.count, 3);
  for (int e = 1; e <= m.nelem; ++e) EXPECT_EQ(b.body[e - 1], (e - 1) / 320 + 1);
  const std::vector<tools::BodyGeometry> g = tools::body_geometry(m, b);
  const double centres[3][3] = {{0, 0, 0}, {3, 0, 0}, {0, 4, 1}}, radii[3] = {1, 0.5, 2};
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(g[k].centroid[c], centres[k][c], 1e-12);
    // Level 2 icosphere: volume within 5% of the sphere's.
    EXPECT_NEAR(g[k].volume, 4 * kPiD * std::pow(radii[k], 3) / 3,
                0.05 * 4 * kPiD * std::pow(radii[k], 3) / 3);
  }
}

// ------------------------------------------------------------ orientation

// Elements reversed at random, and a sphere oriented outward, are restored
// to the inward orientation element by element.
TEST(MeshOrientation, RestoresInwardOrientation) {
  const SurfaceMesh ref = spheres(2, {{{0, 0, 0}, 1.0}, {{5, 0, 0}, 2.0}});
  SurfaceMesh m = ref;
  std::mt19937 rng(7);
  int reversed = 0;
  for (int e = 1; e <= m.nelem; ++e) {
    // Body 2 entirely outward; body 1 at random.
    if (e > 320 || rng() % 2) {
      std::swap(m.ielem[(e - 1) + m.nelem], m.ielem[(e - 1) + 2 * m.nelem]);
      ++reversed;
    }
  }
  const tools::Bodies b = tools::find_bodies(m);
  const std::vector<tools::BodyCheck> c = tools::orient_for_exterior_flow(m, b);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].flipped + c[1].flipped, reversed);
  EXPECT_EQ(c[1].flipped, 320);
  for (const auto& k : c) {
    EXPECT_TRUE(k.closed());
    EXPECT_LT(k.signed_volume, 0.0);
  }
  EXPECT_EQ(m.ielem, ref.ielem);
}

// A hemisphere is open: its boundary edges are counted and it stays consistently oriented.
TEST(MeshOrientation, OpenSurfaceIsReported) {
  const SurfaceMesh s = icosphere(3, 1.0);
  SurfaceMesh m;
  std::vector<int> keep;
  for (int e = 1; e <= s.nelem; ++e) {
    double z = 0;
    for (int v = 1; v <= 3; ++v) z += s.x(s.node(e, v), 3);
    if (z > 0) keep.push_back(e);
  }
  m.nnode = s.nnode;
  m.xnode = s.xnode;
  m.nelem = static_cast<int>(keep.size());
  m.ielem.resize(3 * keep.size());
  for (std::size_t i = 0; i < keep.size(); ++i)
    for (int v = 1; v <= 3; ++v) m.ielem[i + (v - 1) * keep.size()] = s.node(keep[i], v);
  // Reverse every other element.
  for (int e = 1; e <= m.nelem; e += 2)
    std::swap(m.ielem[e - 1 + m.nelem], m.ielem[e - 1 + 2 * m.nelem]);
  const tools::Bodies b = tools::find_bodies(m);
  ASSERT_EQ(b.count, 1);
  const std::vector<tools::BodyCheck> c = tools::orient_for_exterior_flow(m, b);
  EXPECT_FALSE(c[0].closed());
  EXPECT_GT(c[0].open_edges, 0);
  EXPECT_EQ(c[0].nonmanifold_edges, 0);
  EXPECT_TRUE(c[0].orientable);
  // Every interior edge is now run once each way.
  std::map<std::pair<int, int>, int> directed;
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) ++directed[{m.node(e, v), m.node(e, v % 3 + 1)}];
  for (const auto& [edge, n] : directed) EXPECT_EQ(n, 1);
  EXPECT_FALSE(tools::body_geometry(m, b)[0].closed);
}

// Three triangles on one edge are non-manifold; a Moebius strip cannot be oriented.
TEST(MeshOrientation, NonManifoldAndNonOrientable) {
  SurfaceMesh fan;
  fan.nnode = 5;
  fan.nelem = 3;
  fan.xnode = {0, 1, 0, 0, 0.5, 0, 0, 1, -1, 0.2, 0, 0, 0, 1, -1};
  fan.ielem = {1, 1, 1, 2, 2, 2, 3, 4, 5};
  const tools::Bodies fb = tools::find_bodies(fan);
  EXPECT_EQ(tools::orient_for_exterior_flow(fan, fb)[0].nonmanifold_edges, 1);

  // Moebius strip: n quads around a circle with a half twist.
  const int n = 12;
  SurfaceMesh mb;
  mb.nnode = 2 * n;
  mb.xnode.resize(3 * mb.nnode);
  for (int i = 0; i < n; ++i) {
    const double u = 2 * kPiD * i / n;
    for (int s = 0; s < 2; ++s) {
      const double w = s ? 0.3 : -0.3;
      const int k = 2 * i + s;
      mb.xnode[k] = (1 + w * std::cos(u / 2)) * std::cos(u);
      mb.xnode[k + mb.nnode] = (1 + w * std::cos(u / 2)) * std::sin(u);
      mb.xnode[k + 2 * mb.nnode] = w * std::sin(u / 2);
    }
  }
  std::vector<std::array<int, 3>> tri;
  for (int i = 0; i < n; ++i) {
    const int a = 2 * i + 1, b = 2 * i + 2;
    // The last quad joins the ends with the sides exchanged (the half twist).
    const int c = i + 1 < n ? 2 * i + 3 : 2, d = i + 1 < n ? 2 * i + 4 : 1;
    tri.push_back({a, b, d});
    tri.push_back({a, d, c});
  }
  mb.nelem = static_cast<int>(tri.size());
  mb.ielem.resize(3 * tri.size());
  for (std::size_t e = 0; e < tri.size(); ++e)
    for (int v = 0; v < 3; ++v) mb.ielem[e + v * tri.size()] = tri[e][v];
  const tools::Bodies b = tools::find_bodies(mb);
  ASSERT_EQ(b.count, 1);
  const tools::BodyCheck c = tools::orient_for_exterior_flow(mb, b)[0];
  EXPECT_FALSE(c.orientable);
  EXPECT_FALSE(c.closed());
}

// A triangle soup (every element with its own three nodes, as in an STL
// file) merges back into the shared-node sphere; degenerate elements go.
TEST(MeshOrientation, MergesCoincidentNodesAndDropsDegenerate) {
  const SurfaceMesh s = icosphere(2, 1.0);
  SurfaceMesh soup;
  soup.nelem = s.nelem + 2;
  soup.nnode = 3 * soup.nelem;
  soup.xnode.resize(3 * soup.nnode);
  soup.ielem.resize(3 * soup.nelem);
  for (int e = 1; e <= soup.nelem; ++e)
    for (int v = 1; v <= 3; ++v) {
      const int k = 3 * (e - 1) + v;
      // Two extra elements: one with a repeated node, one with collinear nodes.
      const int src = e <= s.nelem ? s.node(e, v)
                                   : (e == s.nelem + 1 ? s.node(1, v == 3 ? 1 : v) : s.node(1, 1));
      for (int c = 1; c <= 3; ++c) {
        double x = s.x(src, c);
        if (e == s.nelem + 2)
          x = s.x(s.node(1, 1), c) + (v - 1) * (s.x(s.node(1, 2), c) - s.x(s.node(1, 1), c));
        soup.xnode[(k - 1) + (c - 1) * soup.nnode] = x;
      }
      soup.ielem[(e - 1) + (v - 1) * soup.nelem] = k;
    }
  std::vector<int> tag(soup.nelem, 5);
  tools::merge_coincident_nodes(soup, 1e-12);
  EXPECT_EQ(tools::remove_degenerate_elements(soup, &tag), 2);
  EXPECT_EQ(tag.size(), static_cast<std::size_t>(s.nelem));
  EXPECT_EQ(soup.nelem, s.nelem);
  EXPECT_EQ(soup.nnode, s.nnode);
  EXPECT_TRUE(closed_and_consistent(soup));
  EXPECT_NEAR(signed_volume(soup), signed_volume(s), 1e-14);
}

// ------------------------------------------------------------ files

// input.dat written by the tools reads back bit for bit, and a model file
// with out-of-range numbers or unfilled rows is refused with its line.
TEST(MeshModelFile, RoundTripAndBadRecords) {
  ScratchDir dir("model");
  Model m;
  m.title = "A title";
  m.subtitle = "second";
  m.mu = 0.1;
  m.mesh = ellipsoid(1, 1.0 / 3.0, 2.5e-7, 1e30);
  m.bc.resize(6 * m.mesh.nelem);
  for (std::size_t i = 0; i < m.bc.size(); ++i)
    m.bc[i] = i < 3u * m.mesh.nelem ? 1.0 + (i % 2) : std::sin(i) * 1e-5;
  {
    std::ofstream f(dir / "input.dat");
    tools::write_input_dat(f, m);
  }
  const Model r = tools::read_input_dat(dir / "input.dat");
  EXPECT_EQ(r.title, m.title);
  EXPECT_EQ(r.subtitle, m.subtitle);
  EXPECT_EQ(r.mu, m.mu);
  EXPECT_EQ(r.mesh.xnode, m.mesh.xnode);
  EXPECT_EQ(r.mesh.ielem, m.mesh.ielem);
  EXPECT_EQ(r.bc, m.bc);
  EXPECT_TRUE(r.notes.empty());

  // Notes after the elements: scattered groups (more ranges than one line
  // takes) and interior bodies read back as written.
  std::vector<int> tag(m.mesh.nelem, 0);
  for (int e = 0; e < m.mesh.nelem; ++e) tag[e] = e % 3 == 0 ? 7 : (e < 40 ? -2 : 0);
  m.notes = make_model_notes(tag, {{7, "wall \"a\""}, {-2, ""}}, {3, 1, 3});
  ASSERT_GT(m.notes.groups[1].ranges.size(), 16u);
  {
    std::ofstream f(dir / "input.dat");
    tools::write_input_dat(f, m);
  }
  const Model n = tools::read_input_dat(dir / "input.dat");
  EXPECT_EQ(n.bc, m.bc);
  EXPECT_EQ(n.notes.interior, (std::vector<int>{1, 3}));
  EXPECT_TRUE(n.notes.is_interior(3) && !n.notes.is_interior(2));
  EXPECT_EQ(n.notes.group_of_elements(m.mesh.nelem), tag);
  EXPECT_EQ(n.notes.group_name(7), "wall a");

  const std::string head = "t\nt\n 1 3 1.\n nodes\n";
  const std::string nodes = " 1 0 0 0\n 2 1 0 0\n 3 0 1 0\n elements\n";
  auto refused = [&](const std::string& text, const std::string& what) {
    write_file(dir / "bad.dat", text);
    try {
      tools::read_input_dat(dir / "bad.dat");
      ADD_FAILURE() << "accepted: " << what;
    } catch (const tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  };
  refused(head + nodes + " 1 1 2 4 1 1 1 0 0 0\n", "node 4 of element 1 outside 1..3");
  refused(head + nodes + " 2 1 2 3 1 1 1 0 0 0\n", "element number 2 outside 1..1");
  refused(head + " 1 0 0 0\n 1 1 0 0\n 3 0 1 0\n elements\n", "line 6: node 1 given twice");
}

// The octree size predicted for input.cnd equals the cell count of the
// solver's own tree build, which therefore succeeds with the suggested maxcel.
TEST(MeshControlFile, TreeSizeMatchesMktree) {
  for (const SurfaceMesh& m :
       {icosphere(3, 1.0), torus(40, 12, 2.0, 0.5), ellipsoid(3, 4.0, 1.0, 0.5)}) {
    const tools::Controls c = tools::suggest_controls(m);
    const tools::TreeSize t = tools::tree_size(m, c.minlev, c.maxl, c.cubfac);
    std::vector<double> xcol(3 * m.nelem);
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    testing::TreeStore ts(m.nelem, c.maxcel, c.maxdep);
    UnitsGuard guard;
    std::ostringstream sink;
    units().set_console(&sink);
    units().attach(6, &sink);
    MKTREE(c.maxdep, c.minlev, c.maxcel, c.maxl, m.nelem, m.nnode, ts.view(), m.xnode.data(),
           xcol.data(), c.cubfac, ts.ioct(), ts.iperm());
    EXPECT_EQ(ts.view().ncell(), t.ncell);
    EXPECT_EQ(*ts.view().nlev, t.nlev);
    EXPECT_GE(c.maxcel, t.ncell);
    EXPECT_GE(c.maxdep, t.nlev + 2);
  }
}

// The restart length is 60 whatever the mesh size: large meshes and thin
// bodies need more iterations than 30 (30 was once written below 50,000 elements).
TEST(MeshControlFile, RestartLengthOfSixtyOnSmallAndLargeMeshes) {
  EXPECT_EQ(tools::suggest_controls(icosphere(3, 1.0)).M, 60);
  const SurfaceMesh big = icosphere(6, 1.0);
  ASSERT_GE(big.nelem, 50000);
  EXPECT_EQ(tools::suggest_controls(big).M, 60);
}

// ------------------------------------------------------------ the tool

// Spheres and spheroids from the tool: closed, consistently oriented into
// the body, area and volume converging at second order to the exact values.
TEST(MeshTool, SphereAndSpheroidConverge) {
  struct Case {
    std::vector<std::string> shape;
    double area, volume;
  };
  const std::vector<Case> cases = {
      {{"sphere", "--radius", "2"}, 16 * kPiD, 32 * kPiD / 3},
      {{"spheroid", "--axes", "1,2.5"}, spheroid_area(1, 2.5), 4 * kPiD * 2.5 / 3},
      {{"spheroid", "--axes", "2,0.5"}, spheroid_area(2, 0.5), 4 * kPiD * 2 * 2 * 0.5 / 3},
  };
  for (const Case& c : cases) {
    double prev_a = 0, prev_v = 0;
    for (int level = 2; level <= 4; ++level) {
      ScratchDir dir("conv");
      std::vector<std::string> args = c.shape;
      args.insert(args.end(),
                  {"--refine", std::to_string(level), "--dir", dir.path().string(), "--quiet"});
      const testing::ToolRun run = mesh_tool(args);
      ASSERT_EQ(run.status, 0) << run.err;
      const Model m = model_in(dir);
      EXPECT_EQ(m.mesh.nelem, 20 << (2 * level));
      EXPECT_TRUE(closed_and_consistent(m.mesh));
      EXPECT_LT(signed_volume(m.mesh), 0.0);
      const double ea = std::fabs(mesh_area(m.mesh) - c.area) / c.area;
      const double ev = std::fabs(-signed_volume(m.mesh) - c.volume) / c.volume;
      if (prev_a > 0) {
        EXPECT_GT(prev_a / ea, 3.5) << c.shape[0] << " level " << level;
        EXPECT_GT(prev_v / ev, 3.5) << c.shape[0] << " level " << level;
      }
      prev_a = ea;
      prev_v = ev;
    }
    EXPECT_LT(prev_a, 5e-3) << c.shape[0];
  }
}

// --elements and --size pick the coarsest refinement that meets them; --frequency K gives 20 K^2.
TEST(MeshTool, ResolutionOptions) {
  ScratchDir dir("res");
  const std::string d = dir.path().string();
  ASSERT_EQ(mesh_tool({"sphere", "--elements", "1281", "--dir", d, "--quiet"}).status, 0);
  EXPECT_EQ(model_in(dir).mesh.nelem, 5120);
  ASSERT_EQ(mesh_tool({"sphere", "--elements", "1280", "--dir", d, "--quiet"}).status, 0);
  EXPECT_EQ(model_in(dir).mesh.nelem, 1280);
  // Longest edge of the unit icosphere: about 0.138 at level 3, 0.069 at level 4.
  ASSERT_EQ(mesh_tool({"sphere", "--frequency", "5", "--dir", d, "--quiet"}).status, 0);
  EXPECT_EQ(model_in(dir).mesh.nelem, 500);
  ASSERT_EQ(mesh_tool({"sphere", "--size", "0.1", "--dir", d, "--quiet"}).status, 0);
  const Model m = model_in(dir);
  EXPECT_EQ(m.mesh.nelem, 5120);
  EXPECT_LE(tools::longest_edge(m.mesh), 0.1);
  ASSERT_EQ(mesh_tool({"torus", "--radii", "2,0.5", "--size", "0.2", "--dir", d, "--quiet"}).status,
            0);
  EXPECT_LE(tools::longest_edge(model_in(dir).mesh), 0.2);
}

// Rigid motion: the velocity of every element is U + Omega x (x_e - c) at its
// centroid, c the body's centroid or the given point; a traction selection
// gets code 2; elements outside the selections are at rest.
TEST(MeshTool, BoundaryConditionsPerBody) {
  ScratchDir dir("bc");
  const testing::ToolRun run = mesh_tool({"spheres",   "--sphere",   "0,0,0,1",
                                          "--sphere",  "4,0,0,1",    "--sphere",
                                          "0,5,0,0.5", "--refine",   "1",
                                          "--body",    "1",          "--velocity",
                                          "1,2,3",     "--rotation", "0,0,2",
                                          "--body",    "2",          "--rotation",
                                          "1,0,0",     "--about",    "0,0,1",
                                          "--body",    "3",          "--traction",
                                          "0.5,0,-1",  "--dir",      dir.path().string(),
                                          "--mu",      "0.25"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Model m = model_in(dir);
  EXPECT_EQ(m.mu, 0.25);
  ASSERT_EQ(m.mesh.nelem, 3 * 80);
  for (int e = 1; e <= m.mesh.nelem; ++e) {
    double x[3];
    for (int c = 1; c <= 3; ++c)
      x[c - 1] = (m.mesh.x(m.mesh.node(e, 1), c) + m.mesh.x(m.mesh.node(e, 2), c) +
                  m.mesh.x(m.mesh.node(e, 3), c)) /
                 3;
    const int body = (e - 1) / 80 + 1;
    double want[3], code = 1;
    if (body == 1) {  // U + (0,0,2) x x, centroid at the origin
      want[0] = 1 - 2 * x[1];
      want[1] = 2 + 2 * x[0];
      want[2] = 3;
    } else if (body == 2) {  // (1,0,0) x (x - (0,0,1))
      want[0] = 0;
      want[1] = -(x[2] - 1);
      want[2] = x[1];
    } else {
      want[0] = 0.5, want[1] = 0, want[2] = -1, code = 2;
    }
    for (int k = 1; k <= 3; ++k) {
      EXPECT_EQ(m.code(e, k), code);
      EXPECT_NEAR(m.value(e, k), want[k - 1], 1e-14) << "element " << e << " component " << k;
    }
  }

  // Only body 2 given: body 1 is at rest.
  ASSERT_EQ(
      mesh_tool({"spheres", "--sphere", "0,0,0,1", "--sphere", "4,0,0,1", "--refine", "0", "--body",
                 "2", "--velocity", "0,0,1", "--dir", dir.path().string(), "--quiet"})
          .status,
      0);
  const Model r = model_in(dir);
  for (int e = 1; e <= r.mesh.nelem; ++e) EXPECT_EQ(r.value(e, 3), e > 20 ? 1.0 : 0.0);
}

// input.cnd is written when absent and kept when present, unless --new-cnd.
TEST(MeshTool, KeepsExistingControlFile) {
  ScratchDir dir("cnd");
  const std::string d = dir.path().string();
  ASSERT_EQ(mesh_tool({"sphere", "--dir", d, "--quiet"}).status, 0);
  const std::string first = read_file(dir / "input.cnd");
  EXPECT_NE(first.find(" 1.01 "), std::string::npos);
  write_file(dir / "input.cnd", "mine\n");
  ASSERT_EQ(mesh_tool({"sphere", "--dir", d, "--quiet"}).status, 0);
  EXPECT_EQ(read_file(dir / "input.cnd"), "mine\n");
  ASSERT_EQ(mesh_tool({"sphere", "--dir", d, "--quiet", "--new-cnd"}).status, 0);
  EXPECT_EQ(read_file(dir / "input.cnd"), first);
}

// Bad command lines end with a message and status 2, bad input (a body or
// group the mesh lacks, a missing file) with status 1; neither writes anything.
TEST(MeshTool, RejectsBadArguments) {
  ScratchDir dir("bad");
  const std::string d = dir.path().string();
  const std::vector<std::tuple<std::vector<std::string>, std::string, int>> cases = {
      {{"sphere", "--frobnicate"}, "unknown option --frobnicate", 2},
      {{}, "no shape or file given", 2},
      {{"sphere", "--radius", "abc"}, "--radius expects a number", 2},
      {{"sphere", "--radius", "-1"}, "--radius must be positive", 2},
      {{"ellipsoid", "--axes", "1,2"}, "ellipsoid needs --axes A,B,C", 2},
      {{"torus", "--radii", "1,2"}, "minor radius below its major radius", 2},
      {{"sphere", "--refine", "2", "--size", "0.1"}, "at most one of", 2},
      {{"sphere", "--frequency", "0"}, "--frequency must lie in 1..256", 2},
      {{"torus", "--radii", "2,0.5", "--frequency", "4"}, "--frequency applies to a sphere only", 2},
      {{"sphere", "--body", "2", "--velocity", "1,0,0"}, "--body 2: the mesh has 1 bodies", 1},
      {{"sphere", "--group", "wall", "--velocity", "1,0,0"}, "no such physical surface group", 1},
      {{"sphere", "--velocity", "1,0,0", "--traction", "0,0,1"},
       "either a traction or a rigid motion", 2},
      {{"spheres", "--sphere", "0,0,0,1", "--sphere", "1.5,0,0,1"}, "overlap", 2},
      {{d + "/missing.msh"}, "missing.msh", 1},
      {{"sphere", "--radius"}, "--radius needs a value", 2},
      {{"sphere", "cube"}, "unexpected argument", 2},
  };
  for (const auto& [args, message, status] : cases) {
    std::vector<std::string> a = args;
    a.insert(a.end(), {"--dir", d});
    if (args.size() == 2 && args[1] == "--radius") a = {"sphere", "--dir", d, "--radius"};
    const testing::ToolRun r = mesh_tool(a);
    EXPECT_EQ(r.status, status) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "input.dat"));
  EXPECT_EQ(mesh_tool({"--help"}).status, 0);
}

// ------------------------------------------------------------ Gmsh

#ifdef VELMORA_HAVE_GMSH

// Writes `bodies` through Gmsh, one discrete surface and one named physical
// group per body, to each of `paths` (the format follows the extension).
void write_with_gmsh(const std::vector<std::pair<SurfaceMesh, std::string>>& bodies,
                     const std::vector<std::string>& paths) {
  gmsh::initialize();
  gmsh::option::setNumber("General.Terminal", 0);
  gmsh::model::add("test");
  std::size_t first = 1;
  for (const auto& [m, name] : bodies) {
    const int s = gmsh::model::addDiscreteEntity(2);
    std::vector<std::size_t> tags(m.nnode);
    std::vector<double> xyz;
    for (int k = 1; k <= m.nnode; ++k) {
      tags[k - 1] = first + k - 1;
      for (int c = 1; c <= 3; ++c) xyz.push_back(m.x(k, c));
    }
    std::vector<std::size_t> conn;
    for (int e = 1; e <= m.nelem; ++e)
      for (int v = 1; v <= 3; ++v) conn.push_back(first + m.node(e, v) - 1);
    gmsh::model::mesh::addNodes(2, s, tags, xyz);
    gmsh::model::mesh::addElementsByType(s, 2, {}, conn);
    const int g = gmsh::model::addPhysicalGroup(2, {s});
    gmsh::model::setPhysicalName(2, g, name);
    first += m.nnode;
  }
  for (const std::string& p : paths) gmsh::write(p);
  gmsh::finalize();
}

// The triangles of `m` as cycles of node numbers of `ref` (each node of m
// matched to the node of ref within `tol`; 0 when none), each cycle started
// at its smallest number, so that meshes compare whatever their numbering.
std::multiset<std::array<int, 3>> triangles(const SurfaceMesh& m, const SurfaceMesh& ref,
                                            double tol) {
  std::vector<int> match(m.nnode + 1, 0);
  for (int k = 1; k <= m.nnode; ++k)
    for (int j = 1; j <= ref.nnode; ++j)
      if (std::hypot(m.x(k, 1) - ref.x(j, 1), m.x(k, 2) - ref.x(j, 2), m.x(k, 3) - ref.x(j, 3)) <=
          tol)
        match[k] = j;
  std::multiset<std::array<int, 3>> s;
  for (int e = 1; e <= m.nelem; ++e) {
    std::array<int, 3> t{match[m.node(e, 1)], match[m.node(e, 2)], match[m.node(e, 3)]};
    std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
    s.insert(t);
  }
  return s;
}

// A mesh written by Gmsh as .msh and as .stl reads back as the same
// triangles in the same orientation, with shared nodes.
TEST(MeshGmsh, MshAndStlRoundTrip) {
  ScratchDir dir("gmsh");
  const SurfaceMesh ref = icosphere(2, 1.5);
  write_with_gmsh({{ref, "ball"}}, {dir / "ball.msh", dir / "ball.stl"});
  const auto want = triangles(ref, ref, 0.0);
  for (const std::string name : {"ball.msh", "ball.stl"}) {
    tools::ImportedSurface s = tools::import_with_gmsh(dir / name, 0.0);
    tools::merge_coincident_nodes(s.mesh, 0.0);
    EXPECT_EQ(s.mesh.nelem, ref.nelem) << name;
    EXPECT_EQ(s.mesh.nnode, ref.nnode) << name;
    // Both files carry 16 significant digits.
    EXPECT_TRUE(triangles(s.mesh, ref, 1e-14) == want) << name;
  }
}

// Physical groups select boundary conditions; an outward-oriented file is
// turned inward.
TEST(MeshGmsh, PhysicalGroupsAndOrientation) {
  ScratchDir dir("groups");
  const double c2[3] = {3, 0, 0};
  SurfaceMesh out = icosphere(1, 1.0);  // reversed below: normals out of the body
  for (int e = 0; e < out.nelem; ++e)
    std::swap(out.ielem[e + out.nelem], out.ielem[e + 2 * out.nelem]);
  write_with_gmsh({{out, "left"}, {icosphere(1, 1.0, c2), "right"}}, {dir / "two.msh"});
  const testing::ToolRun r =
      mesh_tool({dir / "two.msh", "--group", "right", "--traction", "0,0,1", "--group", "left",
                 "--velocity", "1,0,0", "--dir", dir.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("reversed 80 of the 80 elements of body 1"), std::string::npos) << r.err;
  const Model m = model_in(dir);
  ASSERT_EQ(m.mesh.nelem, 160);
  EXPECT_TRUE(closed_and_consistent(m.mesh));
  const tools::Bodies b = tools::find_bodies(m.mesh);
  for (int e = 1; e <= m.mesh.nelem; ++e) {
    const bool right = m.mesh.x(m.mesh.node(e, 1), 1) > 1.5;
    EXPECT_EQ(m.code(e, 1), right ? 2.0 : 1.0);
    EXPECT_EQ(m.value(e, right ? 3 : 1), 1.0);
    EXPECT_EQ(b.body[e - 1], right ? 2 : 1);
  }
  EXPECT_LT(signed_volume(m.mesh), 0.0);
  // The groups travel in the model file's notes, which the solver's reader
  // never reaches.
  const std::vector<int> g = m.notes.group_of_elements(m.mesh.nelem);
  for (int e = 1; e <= m.mesh.nelem; ++e) EXPECT_EQ(g[e - 1], b.body[e - 1]) << e;
  EXPECT_EQ(m.notes.group_name(1), "left");
  EXPECT_EQ(m.notes.group_name(2), "right");
  const testing::ToolRun bad = mesh_tool(
      {dir / "two.msh", "--group", "top", "--velocity", "1,0,0", "--dir", dir.path().string()});
  EXPECT_NE(bad.err.find("(the mesh has 1 \"left\", 2 \"right\")"), std::string::npos) << bad.err;
}

// A geometry file is meshed by Gmsh to the requested size and oriented for exterior flow.
TEST(MeshGmsh, GeometryMeshedToSize) {
  ScratchDir dir("geo");
  write_file(dir / "ball.geo", "SetFactory(\"OpenCASCADE\");\nSphere(1) = {1, 2, 3, 1};\n");
  const testing::ToolRun r =
      mesh_tool({dir / "ball.geo", "--size", "0.25", "--dir", dir.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Model m = model_in(dir);
  EXPECT_TRUE(closed_and_consistent(m.mesh));
  EXPECT_LT(signed_volume(m.mesh), 0.0);
  // Chordal area deficit of flat triangles with edges about h: O(h^2).
  EXPECT_NEAR(mesh_area(m.mesh), 4 * kPiD, 4 * kPiD * 0.25 * 0.25 / 4);
  EXPECT_GT(m.mesh.nelem, 200);
  const tools::Bodies b = tools::find_bodies(m.mesh);
  const tools::BodyGeometry g = tools::body_geometry(m.mesh, b)[0];
  EXPECT_NEAR(g.centroid[0], 1, 0.01);
  EXPECT_NEAR(g.centroid[1], 2, 0.01);
  EXPECT_NEAR(g.centroid[2], 3, 0.01);
}

#else

// Without Gmsh the tool says that file import is not available.
TEST(MeshGmsh, AbsentGmshIsReported) {
  const testing::ToolRun r = mesh_tool({"body.stl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("needs Gmsh"), std::string::npos) << r.err;
}

#endif

}  // namespace
}  // namespace velmora
