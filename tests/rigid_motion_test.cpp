// velmora-rigid's bodies of any shape, fixed bodies, ambient flows,
// squirmers and time steps, against physics: Stokes flow around spheres and
// spheroids in closed form, the first-kind resistance of the program, and
// the consistency of fixed bodies with the free bodies' resistance.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/listread.hpp"
#include "run/memory_run.hpp"
#include "run/program.hpp"
#include "tool_support.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/rigid_tool.hpp"

namespace velmora::tools {
namespace {

using testing::json_numbers;
using testing::read_file;
using testing::run_tool;
using testing::ScratchDir;
using testing::ToolRun;

void mesh(const ScratchDir& dir, std::vector<std::string> words) {
  words.push_back("--dir");
  words.push_back(dir.path().string());
  words.push_back("--quiet");
  const ToolRun r = run_tool(run_mesh_tool, words);
  ASSERT_EQ(r.status, 0) << r.err;
}

ToolRun rigid(const ScratchDir& dir, std::vector<std::string> words) {
  words.push_back("--dir");
  words.push_back(dir.path().string());
  return run_tool(run_rigid_tool, words);
}

#ifdef VELMORA_HAVE_GMSH
// Brenner's (1961) resistance factor lambda = F / (6 pi mu a V) of a sphere
// moving towards a plane wall, centre h = a cosh(alpha) from it:
//   lambda = 4/3 sinh(alpha) sum_n n(n+1) / ((2n-1)(2n+3)) *
//            [(2 sinh((2n+1) alpha) + (2n+1) sinh(2 alpha)) /
//             (4 sinh^2((n+1/2) alpha) - (2n+1)^2 sinh^2(alpha)) - 1]
// (3.0361 at alpha = 1, as his table gives).
double brenner_lambda(double alpha) {
  double sum = 0.0;
  for (int n = 1; n < 60; ++n) {
    const double k = 2.0 * n + 1.0;
    sum += n * (n + 1.0) / ((2.0 * n - 1.0) * (2.0 * n + 3.0)) *
           ((2.0 * std::sinh(k * alpha) + k * std::sinh(2.0 * alpha)) /
                (4.0 * std::pow(std::sinh((n + 0.5) * alpha), 2) -
                 k * k * std::pow(std::sinh(alpha), 2)) -
            1.0);
  }
  return 4.0 / 3.0 * std::sinh(alpha) * sum;
}

// A unit sphere pushed towards a wall held fixed (--fixed): a slab 16 x 16
// x 1 meshed by Gmsh with the sphere, elements VIN within 2.5 of the gap and
// growing to 2.5 beyond 6.5, the sphere's centre 1.5431 (alpha = 1) above
// the slab.  Measured: the speed lies 3.1 % above Brenner's at VIN 0.25 and
// 1.4 % at 0.18 (the ratio of h^2, 1.93, within the scatter of unstructured
// meshes), and the Richardson extrapolation of the two 0.4 % below it (the
// finite slab: 16 x 16 moves the coarse value 0.5 % closer).  A wall that
// moved with the sphere, or a fixed completion off by a factor, is off by
// tens of per cent.
TEST(RigidMotion, SphereTowardsAFixedWallAsBrenner) {
  const double alpha = 1.0, V = 1.0 / (6.0 * kPi * brenner_lambda(alpha));
  auto speed = [&](const std::string& vin) {
    ScratchDir dir("rigid_wall");
    testing::write_file(dir / "wall.geo",
                    "SetFactory(\"OpenCASCADE\");\n"
                    "Box(1) = {-8, -8, -1, 16, 16, 1};\n"
                    "Sphere(2) = {0, 0, " + std::to_string(std::cosh(alpha)) + ", 1};\n"
                    "Field[1] = Ball; Field[1].Radius = 2.5; Field[1].Thickness = 4;\n"
                    "Field[1].VIn = " + vin + "; Field[1].VOut = 2.5;\n"
                    "Field[1].XCenter = 0; Field[1].YCenter = 0; Field[1].ZCenter = 0.5;\n"
                    "Background Field = 1;\n"
                    "Mesh.MeshSizeExtendFromBoundary = 0; Mesh.MeshSizeFromPoints = 0;\n");
    mesh(dir, {(dir / "wall.geo")});
    const ToolRun r = rigid(dir, {"--fixed", "1", "--body", "2", "--force", "0,0,-1",
                                  "--no-traction", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(r.out, m, std::regex("body 2 velocity: (\\S+) (\\S+) (\\S+)")))
        << r.out;
    return m.size() == 4 ? -std::stod(m[3]) : 0.0;
  };
  const double coarse = speed("0.25"), fine = speed("0.18");
  const double e_coarse = coarse / V - 1.0, e_fine = fine / V - 1.0;
  EXPECT_GT(e_fine, 0.0);
  EXPECT_LT(e_fine, 0.025);
  EXPECT_GT(e_coarse / e_fine, 1.4);
  EXPECT_LT(e_coarse / e_fine, 3.0);
  const double r = std::pow(0.25 / 0.18, 2);
  EXPECT_NEAR((r * fine - coarse) / (r - 1.0) / V, 1.0, 0.01);
}
#endif

// A sphere in simple shear u = G y e_x turns at -G/2 about z and does not
// move; its stresslet is (20/3) pi mu a^3 E (E12 = E21 = G/2), Batchelor's
// result behind Einstein's 5/2.  In a pure strain the same.  Refinement 3
// (1280 triangles) puts the inscribed sphere's a^3 about 1 % low.
TEST(RigidMotion, SphereInShearAndStrain) {
  ScratchDir dir("rigid_shear");
  mesh(dir, {"sphere", "--refine", "3", "--radius", "0.8", "--centre", "0.3,-0.2,0.1"});
  const double mu = 1.0, a = 0.8, G = 1.5;
  ToolRun r = rigid(dir, {"--shear", "1.5"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string json = read_file(dir / "rigid.json");
  const std::vector<double> rot = json_numbers(json, "rotation");
  EXPECT_NEAR(rot[2], -G / 2, 0.005 * G);
  EXPECT_NEAR(rot[0], 0.0, 1e-6);
  // The sphere at (0.3, -0.2, 0.1) is carried with the flow there.
  const std::vector<double> vel = json_numbers(json, "velocity");
  EXPECT_NEAR(vel[0], G * -0.2, 1e-3 * G);
  EXPECT_NEAR(vel[1], 0.0, 1e-6);
  const double s = 20.0 / 3.0 * kPi * mu * a * a * a * (G / 2);
  std::vector<double> S = json_numbers(json, "stresslet");
  ASSERT_EQ(S.size(), 9u);
  EXPECT_NEAR(S[1], s, 0.02 * s);
  EXPECT_NEAR(S[3], s, 0.02 * s);
  for (int k : {0, 2, 4, 5, 6, 7, 8}) EXPECT_NEAR(S[k], 0.0, 1e-4 * s) << k;

  r = rigid(dir, {"--gradient", "1,0,0,0,-0.5,0,0,0,-0.5", "--no-traction"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = rigid(dir, {"--gradient", "1,0,0,0,-0.5,0,0,0,-0.5"});
  json = read_file(dir / "rigid.json");
  S = json_numbers(json, "stresslet");
  const double e = 20.0 / 3.0 * kPi * mu * a * a * a;
  EXPECT_NEAR(S[0], e, 0.02 * e);
  EXPECT_NEAR(S[4], -0.5 * e, 0.01 * e);
  EXPECT_NEAR(S[0] + S[4] + S[8], 0.0, 1e-12 * e);
  // An ambient flow with a trace is refused as usage.
  r = rigid(dir, {"--gradient", "1,0,0,0,1,0,0,0,0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("trace"), std::string::npos);
}

// A squirmer sphere swims at 2 B1 / 3 along its axis without turning,
// whatever B2; a force-free body in no flow with no slip does not move.
TEST(RigidMotion, SquirmerSwimsAtTwoThirdsB1) {
  ScratchDir dir("rigid_squirmer");
  mesh(dir, {"sphere", "--refine", "3"});
  const ToolRun r = rigid(dir, {"--squirmer", "0.6,2,0,1,1", "--no-traction"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string json = read_file(dir / "rigid.json");
  const std::vector<double> v = json_numbers(json, "velocity");
  const std::vector<double> w = json_numbers(json, "rotation");
  const double U = 2.0 / 3.0 * 0.6 / std::sqrt(2.0);
  EXPECT_NEAR(v[0], 0.0, 1e-6);
  EXPECT_NEAR(v[1], U, 0.006 * U);
  EXPECT_NEAR(v[2], U, 0.006 * U);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(w[k], 0.0, 1e-6);
}

// Jeffery: a prolate spheroid of aspect ratio r in simple shear u = G y e_x
// turns at -G (r^2 sin^2 phi + cos^2 phi) / (r^2 + 1), phi the angle of its
// axis from the flow: -G / 5 lying along the flow, -4 G / 5 across it (r = 2).
TEST(RigidMotion, SpheroidTurnsAsJeffery) {
  for (const auto& [axes, rate] : {std::pair<std::string, double>{"2,1,1", -0.2},
                                   std::pair<std::string, double>{"1,2,1", -0.8}}) {
    ScratchDir dir("rigid_jeffery");
    mesh(dir, {"ellipsoid", "--axes", axes, "--refine", "3"});
    const ToolRun r = rigid(dir, {"--shear", "1", "--no-traction"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<double> w = json_numbers(read_file(dir / "rigid.json"), "rotation");
    EXPECT_NEAR(w[2], rate, 0.01 * std::abs(rate)) << axes;
  }
}

// A body held still beside a free one: the free body's motion is R11^-1 F
// and the fixed body's loads R21 R11^-1 F, with R the 12 x 12 resistance of
// the pair both free (a different discrete problem, agreeing to the
// discretisation error).
TEST(RigidMotion, FixedBodyAgreesWithTheResistanceOfThePair) {
  ScratchDir dir("rigid_fixed");
  mesh(dir, {"spheres", "--sphere", "0,0,0,1", "--sphere", "2.6,0.4,0,1", "--refine", "2"});
  ToolRun r = rigid(dir, {"--resistance", "--no-traction"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<double> R = json_numbers(read_file(dir / "rigid.json"), "resistance");
  ASSERT_EQ(R.size(), 144u);
  r = rigid(dir, {"--fixed", "2", "--body", "1", "--force", "1,0.5,0", "--torque", "0,0,0.3",
                  "--no-traction"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string json = read_file(dir / "rigid.json");
  std::vector<double> m1 = json_numbers(json, "velocity", 0);
  const std::vector<double> w1 = json_numbers(json, "rotation", 0);
  m1.insert(m1.end(), w1.begin(), w1.end());
  const std::vector<double> f2 = json_numbers(json, "force", 1);
  const std::vector<double> v2 = json_numbers(json, "velocity", 1);
  EXPECT_NE(json.find("\"fixed\": true"), std::string::npos);
  for (double x : v2) EXPECT_EQ(x, 0.0);
  const double L[6] = {1, 0.5, 0, 0, 0, 0.3};
  for (int i = 0; i < 6; ++i) {
    double s = 0.0;
    for (int j = 0; j < 6; ++j) s += R[12 * i + j] * m1[j];
    EXPECT_NEAR(s, L[i], 2e-3) << i;
  }
  for (int i = 0; i < 3; ++i) {
    double s = 0.0;
    for (int j = 0; j < 6; ++j) s += R[12 * (6 + i) + j] * m1[j];
    EXPECT_NEAR(f2[i], s, 2e-3) << i;
  }
  // Loads given to a fixed body are refused.
  r = rigid(dir, {"--fixed", "2", "--body", "2", "--force", "1,0,0"});
  EXPECT_EQ(r.status, 2);
}

// The program's first-kind resistance of the model in `dir` about the
// origin (6 x 6, row-major, (F, T) on the fluid per column of (V, Omega)):
// six velocity-prescribed solves in memory, the loads sum A t and
// sum A x x t of each.
std::vector<double> first_kind_resistance(const ScratchDir& dir) {
  const Model model = read_input_dat(dir / "input.dat");
  const SurfaceMesh& m = model.mesh;
  std::vector<double> xcol(3 * static_cast<std::size_t>(m.nelem));
  collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
  RunScalars s;
  {
    ListReader cnd;
    EXPECT_TRUE(cnd.open(dir / "input.cnd"));
    read_control(cnd, s);
  }
  s.mu = 1.0;
  const MeshView v = view_of(m, xcol.data(), nullptr);
  std::vector<double> R(36, 0.0);
  for (int k = 0; k < 6; ++k) {
    std::vector<double> bc(6 * static_cast<std::size_t>(m.nelem), 1.0);
    for (int e = 1; e <= m.nelem; ++e) {
      double u[3] = {0, 0, 0};
      if (k < 3) {
        u[k] = 1.0;
      } else {
        const double x[3] = {v.col(e, 1), v.col(e, 2), v.col(e, 3)};
        const int i = k - 3, j = (i + 1) % 3, l = (i + 2) % 3;  // e_i x x
        u[j] = -x[l];
        u[l] = x[j];
      }
      for (int c = 0; c < 3; ++c) bc[(e - 1) + (c + 3) * static_cast<std::size_t>(m.nelem)] = u[c];
    }
    MemoryModel mm;
    mm.controls = s;
    mm.mesh = &m;
    mm.bc = bc.data();
    const MemoryRunResult run = run_in_memory(mm);
    EXPECT_EQ(run.status, 0) << k;
    for (int e = 1; e <= m.nelem; ++e) {
      const ElementGeometry g = element_geometry(v, e);
      const double* t = &run.traction[3 * static_cast<std::size_t>(e - 1)];
      const double x[3] = {v.col(e, 1), v.col(e, 2), v.col(e, 3)};
      double* col = &R[k];  // column k, stride 6
      for (int c = 0; c < 3; ++c) col[6 * c] += g.area * t[c];
      col[18] += g.area * (x[1] * t[2] - x[2] * t[1]);
      col[24] += g.area * (x[2] * t[0] - x[0] * t[2]);
      col[30] += g.area * (x[0] * t[1] - x[1] * t[0]);
    }
  }
  return R;
}

// A torus (its centroid outside it) is accepted, and its resistance agrees
// with the program's first-kind resistance from six velocity-prescribed
// solves in memory, within the discretisation error of 2016 triangles
// (measured: 0.2 % for translations, 4 % for the in-plane rotations, whose
// torque the point forces along the ring bear; 10 % when rotlets bore it).
TEST(RigidMotion, TorusResistanceAgreesWithFirstKind) {
  ScratchDir dir("rigid_torus");
  mesh(dir, {"torus", "--radii", "1,0.3", "--elements", "2000"});
  const ToolRun r = rigid(dir, {"--resistance", "--no-traction", "--about", "0,0,0"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<double> R = json_numbers(read_file(dir / "rigid.json"), "resistance");
  ASSERT_EQ(R.size(), 36u);
  const std::vector<double> first = first_kind_resistance(dir);
  for (int k = 0; k < 6; ++k) {
    const double tol = k == 3 || k == 4 ? 0.06 : 0.02;
    EXPECT_NEAR(R[6 * k + k], first[6 * k + k], tol * first[6 * k + k]) << k;
    // Symmetric, with the couplings a torus lacks small.
    for (int j = 0; j < 6; ++j)
      if (j != k) {
        EXPECT_LT(std::abs(R[6 * k + j]), 0.01 * R[6 * k + k]) << k << " " << j;
      }
  }
}

#ifdef VELMORA_HAVE_GMSH
// A helical tube (one turn of radius 1 and pitch 1, tube radius 0.1, the
// shape of a bacterial flagellum's segment): its plain mobility solves
// converge too slowly, the coarse space on its pieces takes over, and its
// resistance agrees with the first kind within the discretisation error.
TEST(RigidMotion, HelicalTubeResistanceAgreesWithFirstKind) {
  ScratchDir dir("rigid_helix");
  std::string geo =
      "SetFactory(\"OpenCASCADE\");\n"
      "For i In {0:19}\n  t = i * 2 * Pi / 20;\n"
      "  Point(i + 1) = {Cos(t), Sin(t), i / 20};\nEndFor\n"
      "Spline(1) = {1:20};\nWire(1) = {1};\n"
      "Disk(1) = {1, 0, 0, 0.1};\n"
      "Rotate {{1, 0, 0}, {0, 0, 0}, Pi / 2} { Surface{1}; }\n"
      "Extrude { Surface{1}; } Using Wire {1}\n"
      "Delete { Surface{1}; }\n";
  testing::write_file(dir / "helix.geo", geo);
  mesh(dir, {dir / "helix.geo", "--size", "0.1"});
  const ToolRun r = rigid(dir, {"--resistance", "--no-traction", "--about", "0,0,0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("coarse space"), std::string::npos) << r.out;
  const std::vector<double> R = json_numbers(read_file(dir / "rigid.json"), "resistance");
  ASSERT_EQ(R.size(), 36u);
  const std::vector<double> first = first_kind_resistance(dir);
  // Measured at 932 triangles (six around the tube): diagonal entries 0.7 to
  // 5.2 % below the first kind's, the translation-rotation coupling of the
  // helix (about 6) within 1 %.  The polygonal tube's area is 7 % short of
  // the tube's and changes by 2.6 % when the elements halve, which moves the
  // first kind's rotation by 2.4 %: the bound 8 % is that geometric error.
  // With the torque borne by rotlets alone the rotations came out 2 to 4
  // times too stiff.
  for (int k = 0; k < 6; ++k) {
    EXPECT_NEAR(R[6 * k + k], first[6 * k + k], 0.08 * first[6 * k + k]) << k;
    for (int j = 0; j < 6; ++j) {
      const double scale = std::sqrt(first[6 * k + k] * first[6 * j + j]);
      EXPECT_NEAR(R[6 * k + j], first[6 * k + j], 0.08 * scale) << k << " " << j;
      EXPECT_NEAR(R[6 * k + j], R[6 * j + k], 0.08 * scale) << k << " " << j;
    }
  }
}
#endif

// Time steps: a squirmer in shear swims at U along its axis, which turns at
// w = -G/2 about z, while the flow carries it; from the origin with the axis
// along x,
//   y = (U/w)(1 - cos wt),  x = (U/w) sin wt + G (U/w)(t - sin(wt)/w).
// trajectory.csv has the columns and rows its header promises, and the
// error at T falls fourfold when dt halves (the scheme's second order; U
// and w measured at step 0, constant to 1e-7 here).  Two bodies driven into
// each other stop the run with status 1 and every step before kept.
TEST(RigidMotion, TimeStepsFollowTheSwimmersPath) {
  const double G = 0.5, T = 4.0;
  auto path_error = [&](int steps, bool check_files) {
    ScratchDir dir("rigid_steps");
    mesh(dir, {"sphere", "--refine", "2"});
    const ToolRun r = rigid(dir, {"--squirmer", "1,0,1,0,0", "--shear", "0.5", "--steps",
                                  std::to_string(steps), "--dt", std::to_string(T / steps),
                                  "--no-traction", "--pvd"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream in(read_file(dir / "trajectory.csv"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz");
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
      std::vector<double> row;
      std::istringstream f(line);
      std::string cell;
      while (std::getline(f, cell, ',')) row.push_back(std::stod(cell));
      EXPECT_EQ(row.size(), 16u);
      rows.push_back(row);
    }
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(steps + 1));
    // A progress line per step on the error stream, the last without an
    // estimate; none on standard output.
    EXPECT_NE(r.err.find("velmora-rigid: step 1 of " + std::to_string(steps) + ", time "),
              std::string::npos) << r.err;
    const std::size_t last_line = r.err.find("step " + std::to_string(steps) + " of ");
    EXPECT_NE(last_line, std::string::npos) << r.err;
    if (last_line != std::string::npos)
      EXPECT_EQ(r.err.find("left", last_line), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(" of " + std::to_string(steps)), std::string::npos) << r.out;
    if (check_files)
      EXPECT_NE(read_file(dir / "rigid.pvd").find("rigid_0000" + std::to_string(steps) + ".vtu"),
                std::string::npos);
    const double U = rows[0][10], w = rows[0][15];
    EXPECT_NEAR(w, -G / 2, 0.005 * G);
    const std::vector<double>& last = rows.back();
    EXPECT_NEAR(last[1], T, 1e-12);
    const double y = (U / w) * (1.0 - std::cos(w * T));
    const double x = (U / w) * std::sin(w * T) + G * (U / w) * (T - std::sin(w * T) / w);
    // The orientation turned by w T about z: q = (cos(wT/2), 0, 0, sin(wT/2)).
    EXPECT_NEAR(last[6], std::cos(w * T / 2), 1e-3);
    EXPECT_NEAR(last[9], std::sin(w * T / 2), 1e-3);
    return std::hypot(last[3] - x, last[4] - y);
  };
  const double coarse = path_error(8, true), fine = path_error(16, false);
  EXPECT_LT(coarse, 0.05);
  EXPECT_GT(coarse / fine, 3.0);
  EXPECT_LT(coarse / fine, 5.0);

  ScratchDir two("rigid_collide");
  mesh(two, {"spheres", "--sphere", "0,0,0,1", "--sphere", "2.3,0,0,1", "--refine", "2"});
  const ToolRun r = rigid(two, {"--fixed", "2", "--body", "1", "--force", "1,0,0", "--steps", "40", "--dt", "1",
                  "--no-traction"});
  EXPECT_EQ(r.status, 1);
  std::smatch mt;
  ASSERT_TRUE(std::regex_search(r.err, mt, std::regex("step ([0-9]+): bodies 1 and 2 are")))
      << r.err;
  const int stop = std::stoi(mt[1]);
  const std::string kept = read_file(two / "trajectory.csv");
  // Two rows per step before the stop, and the header.
  EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 1 + 2 * stop);
  EXPECT_EQ(kept.back(), '\n');

  // One step of 10 carries a small sphere (speed about 1 / (6 pi 0.25) =
  // 0.21) about 2 along, into the big one, with no node within a tenth of
  // an element of the other's surface (the closeness check says nothing):
  // the nodes inside stop the run at that step.
  ScratchDir through("rigid_through");
  mesh(through, {"spheres", "--sphere", "0,0,0,0.25", "--sphere", "3,0,0,1", "--refine", "2"});
  const ToolRun t = rigid(through, {"--fixed", "2", "--body", "1", "--force", "1,0,0", "--steps",
                                    "3", "--dt", "10", "--no-traction"});
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("step 1: bodies 1 and 2 overlap"), std::string::npos) << t.err;
  const std::string rows = read_file(through / "trajectory.csv");
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3);
}

}  // namespace
}  // namespace velmora::tools
