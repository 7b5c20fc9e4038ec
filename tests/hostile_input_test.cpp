// Readable but hostile inputs that once ended with status 0 and no result:
// solver controls GMRES refuses, a node far away from the rest of the mesh,
// runs that cannot give a result (they stop with one line and status 1
// before writing any), and the mesh checks (faulty edges, facing elements),
// which warn and let the run go on.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "bem/mesh_check.hpp"
#include "bem/shapes.hpp"
#include "run/sanity.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"
#include "velmora_run.hpp"

namespace velmora {
namespace {

using testing::ProgramRun;
using testing::ScratchDir;

struct SolverRun {
  int status = -1;
  std::string out, err, dat, plt, log;
};

// Runs the solver on a sphere-like model translating with U = (1, 0, 0)
// (velocities prescribed) and keeps what it left behind.
SolverRun run_solver(const SurfaceMesh& mesh, double mu, double speed, const std::string& tag) {
  tools::Model m;
  m.title = "hostile input";
  m.subtitle = "generated";
  m.mu = mu;
  m.mesh = mesh;
  m.bc.assign(6 * static_cast<std::size_t>(mesh.nelem), 0.0);
  for (int e = 1; e <= mesh.nelem; ++e) {
    for (int k = 1; k <= 3; ++k) m.code(e, k) = 1.0;
    m.value(e, 1) = speed;
  }
  tools::Controls c = tools::suggest_controls(mesh);
  c.M = 10;  // a run that loops to its limit stays short
  c.ncycle = 2;
  ScratchDir dir(tag);
  {
    std::ofstream dat(dir / "input.dat"), cnd(dir / "input.cnd");
    tools::write_input_dat(dat, m);
    tools::write_input_cnd(cnd, c);
  }
  // One thread: these runs are about how they end, and on a busy machine the
  // team's waits would cost more than the tiny solves.
  const std::string cmd = "cd '" + dir.path().string() +
                          "' && OMP_NUM_THREADS=1 '" VELMORA_EXE "' > console.txt 2> error.txt";
  const int rc = std::system(cmd.c_str());
  SolverRun r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = testing::read_file(dir / "console.txt");
  r.err = testing::read_file(dir / "error.txt");
  r.dat = testing::read_file(dir / "output.dat");
  r.plt = testing::read_file(dir / "output.plt");
  r.log = testing::read_file(dir / "output.log");
  return r;
}

SurfaceMesh flattened(SurfaceMesh m, double factor) {
  for (int k = 0; k < m.nnode; ++k) m.xnode[k + 2 * static_cast<std::size_t>(m.nnode)] *= factor;
  return m;
}

int count_lines(const std::string& s) {
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// A stopped run: status 1, one line on the error stream saying what was
// found and why, the same line in output.log, and no results at all.
void expect_stopped_without_results(const SolverRun& r, const std::string& cause) {
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(count_lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
  EXPECT_NE(r.log.find(r.err), std::string::npos);
  EXPECT_EQ(r.dat.find("Boundary solutions"), std::string::npos);
  EXPECT_EQ(r.dat.find("Total force"), std::string::npos);
  EXPECT_EQ(r.dat.find("NaN"), std::string::npos);
  EXPECT_TRUE(r.plt.empty());
  EXPECT_EQ(r.out.find("Total force"), std::string::npos);
}

// Brute-force edge census: directed edge counts in an ordered map.
EdgeFaults brute_edge_faults(const SurfaceMesh& m) {
  std::map<std::pair<int, int>, std::pair<int, int>> uses;  // {lo, hi} -> {uses, lo->hi uses}
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) {
      const int a = m.node(e, v), b = m.node(e, v % 3 + 1);
      auto& u = uses[{std::min(a, b), std::max(a, b)}];
      ++u.first;
      if (a < b) ++u.second;
    }
  EdgeFaults f;
  for (const auto& [edge, u] : uses) {
    ++f.edges;
    if (u.first == 1) ++f.open;
    if (u.first >= 3) ++f.nonmanifold;
    if (u.first == 2 && u.second != 1) ++f.inconsistent;
  }
  return f;
}

void expect_same(const EdgeFaults& a, const EdgeFaults& b) {
  EXPECT_EQ(a.edges, b.edges);
  EXPECT_EQ(a.open, b.open);
  EXPECT_EQ(a.nonmanifold, b.nonmanifold);
  EXPECT_EQ(a.inconsistent, b.inconsistent);
}

SurfaceMesh without_element(const SurfaceMesh& m, int drop) {
  SurfaceMesh r;
  r.nnode = m.nnode;
  r.xnode = m.xnode;
  r.nelem = m.nelem - 1;
  r.ielem.resize(3 * static_cast<std::size_t>(r.nelem));
  for (int v = 1; v <= 3; ++v)
    for (int e = 1, f = 1; e <= m.nelem; ++e)
      if (e != drop)
        r.ielem[(f++ - 1) + (v - 1) * static_cast<std::size_t>(r.nelem)] = m.node(e, v);
  return r;
}

void flip(SurfaceMesh& m, int e) {
  std::swap(m.ielem[(e - 1) + static_cast<std::size_t>(m.nelem)],
            m.ielem[(e - 1) + 2 * static_cast<std::size_t>(m.nelem)]);
}

MeshView view(const SurfaceMesh& m, std::vector<double>& xcol) {
  xcol.assign(3 * static_cast<std::size_t>(m.nelem), 0.0);
  collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
  return view_of(m, xcol.data(), nullptr);
}

// The hashed edge census against a brute-force map: closed, holed, flipped
// and finned spheres, with the counts each defect must produce.
TEST(HostileInput, EdgeFaultsMatchBruteForce) {
  const SurfaceMesh closed = icosphere(2, 1.0);
  const EdgeFaults c = count_edge_faults(closed.nelem, closed.ielem.data());
  expect_same(c, brute_edge_faults(closed));
  EXPECT_EQ(c.edges, 480);
  EXPECT_EQ(c.at_fault(), 0);

  const SurfaceMesh holed = without_element(closed, 17);
  const EdgeFaults h = count_edge_faults(holed.nelem, holed.ielem.data());
  expect_same(h, brute_edge_faults(holed));
  EXPECT_EQ(h.open, 3);
  EXPECT_EQ(h.at_fault(), 3);

  SurfaceMesh flipped = closed;
  flip(flipped, 5);
  const EdgeFaults f = count_edge_faults(flipped.nelem, flipped.ielem.data());
  expect_same(f, brute_edge_faults(flipped));
  EXPECT_EQ(f.inconsistent, 3);
  EXPECT_EQ(f.at_fault(), 3);

  // A fin on an edge of element 1: that edge gets a third use, the fin's
  // two other edges are open.
  SurfaceMesh finned = closed;
  finned.xnode.insert(finned.xnode.begin() + finned.nnode, 2.0);
  finned.xnode.insert(finned.xnode.begin() + 2 * finned.nnode + 1, 2.0);
  finned.xnode.push_back(2.0);
  ++finned.nnode;
  std::vector<int> ie(3 * static_cast<std::size_t>(finned.nelem + 1));
  for (int v = 0; v < 3; ++v)
    for (int e = 0; e < finned.nelem; ++e)
      ie[e + v * static_cast<std::size_t>(finned.nelem + 1)] =
          closed.ielem[e + v * static_cast<std::size_t>(closed.nelem)];
  const std::size_t last = finned.nelem, stride = finned.nelem + 1;
  ie[last] = closed.node(1, 1);
  ie[last + stride] = closed.node(1, 2);
  ie[last + 2 * stride] = finned.nnode;
  finned.ielem = ie;
  ++finned.nelem;
  const EdgeFaults n = count_edge_faults(finned.nelem, finned.ielem.data());
  expect_same(n, brute_edge_faults(finned));
  EXPECT_EQ(n.nonmanifold, 1);
  EXPECT_EQ(n.open, 2);
}

// Facing pairs by trying every pair of elements with finite geometry.
std::int64_t all_pairs_facing(const SurfaceMesh& m) {
  std::vector<double> xcol;
  const MeshView v = view(m, xcol);
  std::int64_t n = 0;
  for (int e = 1; e <= v.nelem; ++e)
    for (int f = e + 1; f <= v.nelem; ++f) {
      const ElementGeometry ge = element_geometry(v, e), gf = element_geometry(v, f);
      if (!std::isfinite(ge.area) || !std::isfinite(gf.area)) continue;
      double d2 = 0, dot = 0;
      for (int c = 1; c <= 3; ++c) {
        d2 += std::pow(v.col(e, c) - v.col(f, c), 2);
        dot += ge.normal[c - 1] * gf.normal[c - 1];
      }
      const double r = kFacingFraction * std::sqrt(std::min(ge.area, gf.area));
      if (dot < -0.9 && d2 < r * r) ++n;
    }
  return n;
}

// Facing pairs: none on a sphere, one per mirrored pair of faces on a
// flattened one (against an all-pairs count), and the distance threshold
// taken relative to the element size.
TEST(HostileInput, FacingPairsMatchAllPairsCount) {
  std::vector<double> xcol;
  const SurfaceMesh sphere = icosphere(2, 1.0);
  EXPECT_EQ(count_facing_pairs(view(sphere, xcol), kFacingFraction), 0);

  const SurfaceMesh flat = flattened(sphere, 1e-9);
  const std::int64_t pairs = count_facing_pairs(view(flat, xcol), kFacingFraction);
  EXPECT_EQ(pairs, all_pairs_facing(flat));
  // The icosphere is symmetric about z = 0: each face away from the equator
  // meets its mirror image, 152 of the 160 pairs.
  EXPECT_GT(pairs, 140);
  EXPECT_LE(pairs, 160);

  // Graded sizes (flattened spheres of radius 1 and 0.02, elements 50 times
  // apart in size, in several size classes) and one element reaching out to
  // x = 1e300, in a size class of its own, which must not slow the search.
  const double c1[3] = {0, 0, 0}, c2[3] = {3.0, 0.0, 0.0};
  SurfaceMesh graded =
      flattened(spheres(2, {{{c1[0], c1[1], c1[2]}, 1.0}, {{c2[0], c2[1], c2[2]}, 0.02}}), 1e-6);
  graded.xnode.insert(graded.xnode.begin() + graded.nnode, 1e300);
  graded.xnode.insert(graded.xnode.begin() + 2 * graded.nnode + 1, 0.0);
  graded.xnode.push_back(0.0);
  ++graded.nnode;
  std::vector<int> ie;
  for (int v = 1; v <= 3; ++v) {
    for (int e = 1; e <= graded.nelem; ++e) ie.push_back(graded.node(e, v));
    ie.push_back(v == 1 ? 1 : v == 2 ? 2 : graded.nnode);
  }
  graded.ielem = ie;
  ++graded.nelem;
  const std::int64_t gp = count_facing_pairs(view(graded, xcol), kFacingFraction);
  EXPECT_EQ(gp, all_pairs_facing(graded));
  EXPECT_GT(gp, 2 * 140);

  // Two unit triangles facing each other at a gap of 0.5 % and 2 % of their
  // size sqrt(area) = sqrt(1/2).
  for (const double gap : {0.005, 0.02}) {
    SurfaceMesh two;
    two.nnode = 6;
    two.nelem = 2;
    const double z = gap * std::sqrt(0.5);
    two.xnode = {0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, z, z, z};
    two.ielem = {1, 4, 2, 6, 3, 5};  // (1,2,3) normal +z, (4,6,5) normal -z
    EXPECT_EQ(count_facing_pairs(view(two, xcol), kFacingFraction), gap < kFacingFraction ? 1 : 0)
        << gap;
  }
}

// A sphere squeezed to a thickness of 1e-9: NaN would reach output.dat;
// the run warns about the facing elements, then stops before any result.
TEST(HostileInput, FlattenedSphereStopsWithoutResults) {
  const SolverRun r = run_solver(flattened(icosphere(2, 1.0), 1e-9), 1.0, 1.0, "flat");
  EXPECT_NE(r.out.find("pairs of elements face each other"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("not finite"), std::string::npos) << r.err;
  expect_stopped_without_results(r, "a body of almost no thickness");
}

// mu = 1e300: the single-layer scale 1/(8 pi mu) underflows, the run stops
// naming the viscosity scale.
TEST(HostileInput, HugeViscosityStopsWithoutResults) {
  const SolverRun r = run_solver(icosphere(2, 1.0), 1e300, 1.0, "mu");
  expect_stopped_without_results(r, "an underflowing viscosity scale");
  EXPECT_NE(r.err.find("not finite"), std::string::npos) << r.err;
}

// mu = 1e-300: the preconditioner's output underflows to zero, and the
// solver would return x = 0 for a right-hand side that is not zero.
TEST(HostileInput, TinyViscosityStopsWithoutResults) {
  const SolverRun r = run_solver(icosphere(2, 1.0), 1e-300, 1.0, "mu-tiny");
  expect_stopped_without_results(r, "an overflowing viscosity scale");
  EXPECT_NE(r.err.find("The solution is zero although the right-hand side is not"),
            std::string::npos)
      << r.err;
}

// Prescribed velocities near the largest double overflow the right-hand side.
TEST(HostileInput, OverflowingRightHandSideStops) {
  const SolverRun r = run_solver(icosphere(1, 1.0), 1.0, 1e308, "big");
  expect_stopped_without_results(r, "prescribed values too large");
  EXPECT_NE(r.err.find("not finite"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The right-hand side"), std::string::npos) << r.err;
}

// An open sphere (one element removed) and an inconsistently oriented one
// are solved, with one warning naming the edges at fault; a sound sphere
// gets none.
TEST(HostileInput, FaultyEdgesWarnAndTheRunGoesOn) {
  const SurfaceMesh sphere = icosphere(1, 1.0);
  SurfaceMesh flipped = sphere;
  flip(flipped, 3);
  const std::pair<SurfaceMesh, std::string> cases[] = {
      {without_element(sphere, 7),
       " Warning: 3 of the 120 edges of the mesh are at fault (3 open, 0 "},
      {flipped,
       " Warning: 3 of the 120 edges of the mesh are at fault (0 open, 0 shared by three or "
       "more elements, 3 run the same way"},
  };
  for (const auto& [mesh, warning] : cases) {
    const SolverRun r = run_solver(mesh, 1.0, 1.0, "edges");
    // Not converging (status 3) still writes every result.
    EXPECT_TRUE(r.status == 0 || r.status == 3) << r.err;
    EXPECT_NE(r.out.find(warning), std::string::npos) << r.out;
    EXPECT_NE(r.log.find(warning), std::string::npos);
    EXPECT_NE(r.dat.find("Total force"), std::string::npos);
  }
  // A sound sphere: nothing to warn about.
  EXPECT_EQ(edge_warning(count_edge_faults(sphere.nelem, sphere.ielem.data())), "");
  EXPECT_EQ(facing_warning(0), "");
}

// M = 0 and iprec = 7: the solver refuses with status -2 and -5 in output.log
// as before, the console says so in one line instead of showing a force,
// the files are written as always (from the zero initial guess), and the run
// exits with status 1.
TEST(HostileInput, RefusedSolverControlsExitOne) {
  struct Case {
    int m, iprec, info;
  };
  for (const Case c : {Case{0, 1, -2}, Case{30, 7, -5}}) {
    SCOPED_TRACE("M " + std::to_string(c.m) + ", iprec " + std::to_string(c.iprec));
    ScratchDir dir("refused");
    testing::write_translating(dir, icosphere(2, 1.0));
    testing::write_controls(dir, c.m, c.iprec, 10, "1e-6", 12, 200, 8);
    const ProgramRun r = testing::run_velmora(dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("Total force acting on the body is:"), std::string::npos);
    EXPECT_NE(r.out.find(" GMRES refused to solve (status " + std::to_string(c.info) +
                         ", see output.log): no solution was computed (exit status 1)\n"),
              std::string::npos)
        << r.out;
    const std::string log = testing::read_file(dir / "output.log");
    EXPECT_TRUE(std::regex_search(
        log, std::regex(" info\\(1\\) = +" + std::to_string(c.info) + "  info\\(2\\)")))
        << log;
    EXPECT_NE(log.find(" Total force acting on the body is:"), std::string::npos);
    // The records of a refused solve: zero tractions from the initial guess.
    const std::string out = testing::read_file(dir / "output.dat");
    EXPECT_NE(out.find(" Total force acting on the body is:"), std::string::npos) << out;
    EXPECT_FALSE(testing::read_file(dir / "output.plt").empty());
  }
}

// A node at x = 1e300 on the 320-element sphere: the maxdep stop keeps its
// text, after the levels the tree needs (about log2(1e300 / 0.3) = 1000) and
// a hint naming the extent, the element size (median longest edge 0.2 to 0.4
// on this sphere) and the node.
TEST(HostileInput, FarNodeStopNamesExtentAndElementSize) {
  ScratchDir dir("far");
  SurfaceMesh m = icosphere(2, 1.0);
  m.xnode[0] = 1e300;  // x of node 1
  testing::write_translating(dir, m);
  testing::write_controls(dir, 30, 1, 10, "1e-6", 12, 200, 8);
  const ProgramRun r = testing::run_velmora(dir);
  EXPECT_EQ(r.status, 1);
  const auto nl1 = r.err.find('\n'), nl2 = r.err.find('\n', nl1 + 1);
  ASSERT_NE(nl2, std::string::npos) << r.err;
  const std::string needs = r.err.substr(0, nl1), hint = r.err.substr(nl1 + 1, nl2 - nl1 - 1);
  EXPECT_EQ(r.err.substr(nl2 + 1), " # maxdep is too small; stop\n");
  const std::size_t at = needs.find(" levels:");
  ASSERT_NE(at, std::string::npos) << needs;
  const int levels = std::stoi(needs.substr(needs.rfind(' ', at - 1) + 1));
  EXPECT_GT(levels, 990);
  EXPECT_LT(levels, 1010);
  EXPECT_EQ(hint.rfind(" Hint: the mesh spans 1e+300 but its elements are about 0.", 0), 0u)
      << hint;
  EXPECT_NE(hint.find("node 1 at (1e+300, "), std::string::npos) << hint;
}

}  // namespace
}  // namespace velmora
