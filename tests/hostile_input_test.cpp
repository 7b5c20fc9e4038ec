// Readable but hostile inputs that once ended with status 0 and no result:
// solver controls GMRES refuses, and a node far away from the rest of the mesh.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "bem/shapes.hpp"
#include "tool_support.hpp"
#include "velmora_run.hpp"

namespace velmora {
namespace {

using testing::ProgramRun;
using testing::ScratchDir;

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
