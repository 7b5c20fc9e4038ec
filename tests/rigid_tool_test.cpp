// velmora-rigid from the outside: mobility against the matrices of
// --resistance, the centre of mobility, rigid.json and rigid.vtu, and the
// exit statuses.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "tool_support.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/rigid_tool.hpp"

namespace velmora::tools {
namespace {

using testing::ScratchDir;
using testing::json_numbers;
using testing::read_file;
using testing::run_tool;
using testing::write_file;
using testing::ToolRun;

// A triaxial ellipsoid centred at (1, 2, 3), tolerance 1e-9.
void write_ellipsoid(const ScratchDir& dir, const std::string& tol = "1e-9",
                     const std::string& cycles = "4") {
  const ToolRun r = run_tool(run_mesh_tool, {"ellipsoid", "--axes", "1.2,0.8,0.5", "--centre",
                                             "1,2,3", "--refine", "2", "--dir", dir.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  write_file(dir / "input.cnd", "1e-9 40 0 0 1 " + cycles + " " + tol +
                                    "\n12 2 30 2000 10 7 1.01\n");
}

// The mobility solve with given loads equals M times the loads (to the
// solver tolerance), R M = I, and the centre of mobility of an ellipsoid is
// its centre whatever the reference point.
TEST(RigidTool, MobilityEqualsInverseResistance) {
  ScratchDir dir("rigid");
  write_ellipsoid(dir);
  const ToolRun r = run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--resistance",
                                              "--about", "0,0,0", "--force", "0.3,-0.2,0.5",
                                              "--torque", "0.1,0.4,-0.2", "--no-traction"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const std::string json = read_file(dir / "rigid.json");
  const std::vector<double> M = json_numbers(json, "mobility");
  const std::vector<double> R = json_numbers(json, "resistance");
  ASSERT_EQ(M.size(), 36u);
  ASSERT_EQ(R.size(), 36u);
  const double load[6] = {0.3, -0.2, 0.5, 0.1, 0.4, -0.2};
  std::vector<double> motion = json_numbers(json, "velocity");
  const std::vector<double> rot = json_numbers(json, "rotation");
  motion.insert(motion.end(), rot.begin(), rot.end());
  ASSERT_EQ(motion.size(), 6u);
  double scale = 0.0;
  for (double v : motion) scale = std::max(scale, std::fabs(v));
  for (int i = 0; i < 6; ++i) {
    double s = 0.0;
    for (int j = 0; j < 6; ++j) s += M[6 * i + j] * load[j];
    // Tolerance 1e-9 on the backward error of each solve.
    EXPECT_NEAR(s, motion[i], 1e-7 * scale) << i;
  }
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      double s = 0.0;
      for (int k = 0; k < 6; ++k) s += R[6 * i + k] * M[6 * k + j];
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-9) << i << ' ' << j;
    }
  // About the origin the coupling is large; the centre of mobility is the
  // ellipsoid's centre up to the expansion error.
  std::smatch cm;
  ASSERT_TRUE(std::regex_search(r.out, cm, std::regex("centre of mobility: (\\S+) (\\S+) (\\S+)")))
      << r.out;
  EXPECT_NEAR(std::stod(cm[1]), 1.0, 1e-3);
  EXPECT_NEAR(std::stod(cm[2]), 2.0, 1e-3);
  EXPECT_NEAR(std::stod(cm[3]), 3.0, 1e-3);
  // The reference and the keys as written.
  EXPECT_EQ(json_numbers(json, "reference"), (std::vector<double>{0, 0, 0}));
  for (const char* key : {"\"bodies\"", "\"body\": 1", "\"elements\": 320", "\"force\"",
                          "\"torque\"", "\"solves\"", "\"iterations\"", "\"backward_error\"",
                          "\"converged\": true"})
    EXPECT_NE(json.find(key), std::string::npos) << key;
  // 1 mobility solve and 6 for the matrices, two numbers each.
  EXPECT_EQ(json_numbers(json, "solves").size(), 14u);
  // A progress line per solve on the error stream, in order, with an
  // estimate of the time left until the last; none on standard output.
  std::size_t at = 0;
  for (int k = 1; k <= 7; ++k) {
    const std::string what = k == 1 ? "mobility" : "column " + std::to_string(k - 1) + " of 6 of";
    at = r.err.find("velmora-rigid: solve " + std::to_string(k) + " of 7 (" + what, at);
    ASSERT_NE(at, std::string::npos) << k << '\n' << r.err;
    const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
    EXPECT_EQ(line.find("left") != std::string::npos, k < 7) << line;
  }
  EXPECT_EQ(r.out.find("solve 1 of"), std::string::npos) << r.out;
}

// The tractions of the traction solve carry the applied force (sum A t = F
// up to the discretisation error of the first-kind solve).
TEST(RigidTool, TractionsCarryTheForce) {
  ScratchDir dir("rigid");
  write_ellipsoid(dir, "1e-8");
  const ToolRun r =
      run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--force", "0,0,2", "--json",
                                dir / "out.json", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // --quiet: no progress lines
  std::smatch f;
  ASSERT_TRUE(std::regex_search(r.out, f, std::regex("force from the tractions: (\\S+) (\\S+) (\\S+)")));
  EXPECT_NEAR(std::stod(f[1]), 0.0, 0.02);
  EXPECT_NEAR(std::stod(f[2]), 0.0, 0.02);
  // Measured 2.9 % at 320 elements and 0.78 % at 1280 (h^2).
  EXPECT_NEAR(std::stod(f[3]), 2.0, 0.07);
  EXPECT_FALSE(read_file(dir / "out.json").empty());
  const std::string vtu = read_file(dir / "rigid.vtu");
  EXPECT_NE(vtu.find("Name=\"traction_on_fluid\""), std::string::npos);
  EXPECT_NE(vtu.find("Name=\"traction_on_body\""), std::string::npos);
}

// Two spheres 0.05 apart on elements six times as long: the warning names
// the bodies and the gap (exact to the vertices: 0.05) before the solve;
// 1 apart, where the elements are shorter than the gap, nothing is said.
TEST(RigidTool, GapNarrowerThanTheElementsIsWarned) {
  ScratchDir dir("rigid-gap");
  for (const char* x : {"2.05", "3"}) {
    ASSERT_EQ(run_tool(run_mesh_tool, {"spheres", "--sphere", "0,0,0,1", "--sphere",
                                       std::string(x) + ",0,0,1", "--refine", "2", "--dir",
                                       dir.path().string(), "--new-cnd", "--quiet"})
                  .status,
              0);
    const ToolRun r = run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--body", "1",
                                                "--force", "1,0,0", "--quiet", "--no-traction"});
    ASSERT_EQ(r.status, 0) << r.err;
    const bool warned = r.err.find("warning: bodies 1 and 2 come within 0.05 of each other") !=
                        std::string::npos;
    EXPECT_EQ(warned, std::string(x) == "2.05") << r.err;
  }
}

// Exit statuses: 2 for the command line, 1 for bad input naming the file
// and line, 3 when a solve stops short (results written all the same).
TEST(RigidTool, ExitStatuses) {
  ScratchDir dir("rigid");
  write_ellipsoid(dir, "1e-14", "1");
  EXPECT_EQ(run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--frobnicate"}).status, 2);
  EXPECT_EQ(run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--body", "2", "--force",
                                      "1,0,0"}).status, 2);
  EXPECT_EQ(run_tool(run_rigid_tool, {"--help"}).status, 0);
  // Options that would override an earlier one are refused, by name;
  // --body starts a new set of loads, so the same option after it is fine.
  const std::vector<std::vector<std::string>> twice = {
      {"--dir", ".", "--dir", "."},      {"--json", "a.json", "--json", "b.json"},
      {"--vtu", "a", "--vtu=b"},         {"--shear", "1", "--shear", "2"},
      {"--shear", "1", "--gradient", "0,1,0,0,0,0,0,0,0"},
      {"--steps", "2", "--steps", "3"},  {"--dt", "1", "--dt", "2"},
      {"--force", "1,0,0", "--force", "2,0,0"},
      {"--body", "1", "--torque", "1,0,0", "--torque", "2,0,0"},
      {"--body", "1", "--about", "0,0,0", "--about", "1,0,0"},
      {"--squirmer", "1,0", "--squirmer", "1,1"},
      {"--body", "2", "--force", "1,0,0", "--body", "1", "--body", "2", "--force", "2,0,0"}};
  EXPECT_EQ(run_tool(run_rigid_tool, {"--body", "2", "--force", "1,0,0", "--body", "2",
                                      "--torque", "1,0,0", "--dir", dir / "none"})
                .status,
            1);  // loads of one body in two parts: fine (here no model: status 1)
  for (const std::vector<std::string>& args : twice) {
    const ToolRun t = run_tool(run_rigid_tool, args);
    EXPECT_EQ(t.status, 2) << args[0];
    const std::string name = args[args.size() - 2].substr(0, args[args.size() - 2].find('='));
    EXPECT_NE(t.err.find("velmora-rigid: " + (name.rfind("--", 0) == 0 ? name : "--vtu")),
              std::string::npos) << t.err;
  }

  write_file(dir / "input.cnd", "1e-9 2 0 0 1 1 1e-14\n12 2 30 2000 8 7 1.01\n");
  const ToolRun slow = run_tool(run_rigid_tool, {"--dir", dir.path().string(), "--force", "1,0,0"});
  EXPECT_EQ(slow.status, 3) << slow.err;
  EXPECT_NE(read_file(dir / "rigid.json").find("\"converged\": false"), std::string::npos);

  // Line 5 holds the first node.
  std::string dat = read_file(dir / "input.dat");
  std::size_t start = 0;
  for (int k = 0; k < 4; ++k) start = dat.find('\n', start) + 1;
  dat.replace(start, dat.find('\n', start) - start, "1 0.5 zz 0.1");
  write_file(dir / "input.dat", dat);
  const ToolRun bad = run_tool(run_rigid_tool, {"--dir", dir.path().string()});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("input.dat, line 5"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace velmora::tools
