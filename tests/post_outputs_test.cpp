// velmora-post's files and checks: loads per physical group in JSON and
// CSV, the surface CSV, the group cell data, refusal of results that belong
// to other boundary conditions, the orientation messages, and its command
// line's usage errors.
#include "toolkit/post_outputs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "post_support.hpp"
#include "tool_support.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/rigid_problem.hpp"
#include "toolkit/tool_error.hpp"
#include "vtk_read.hpp"

namespace velmora {
namespace {

using testing::json_numbers;
using testing::post_tool;
using testing::read_file;
using testing::ScratchDir;
using testing::SmallCase;
using testing::write_file;

// SmallCase with two groups: tag 3 "floor" = elements 1-2 (on the
// tetrahedron), tag 5 "lid, top" = elements 4-5 (one on each body).
SmallCase grouped_case() {
  SmallCase c;
  ModelNotes::Group floor, lid;
  floor.tag = 3;
  floor.name = "floor";
  floor.ranges = {{1, 2}};
  lid.tag = 5;
  lid.name = "lid, top";
  lid.ranges = {{4, 4}, {5, 5}};
  c.model.notes.groups = {floor, lid};
  return c;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (char ch : s) {
    if (ch == '"') quoted = !quoted;
    if (ch == sep && !quoted)
      out.emplace_back();
    else
      out.back() += ch;
  }
  return out;
}

// Group loads are the sums of -A t and -A (x - p) x t over the group's
// elements whatever body they lie on: hand values, in the JSON (which
// Python's json module reads), the CSV, and the console.
TEST(PostGroups, LoadsPerGroupInJsonAndCsv) {
  ScratchDir dir("groups");
  const SmallCase c = grouped_case();
  c.write(dir);
  const testing::ToolRun r = post_tool({"--dir", dir.path().string(), "--json", dir / "l.json",
                                        "--csv", dir / "l.csv", "--surface-csv", dir / "s.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Floor: A = 1/2 each, t = (0,0,1) at (1/3,1/3,0) and (2,0,0) at (0,1/3,1/3).
  // Lid: only element 5 carries t = (0,1,0), at (16/3, 0, 1/3).
  const std::vector<double> want[2][2] = {{{-1, 0, -0.5}, {-1.0 / 6, -1.0 / 6, 1.0 / 3}},
                                          {{0, -0.5, 0}, {1.0 / 6, 0, -8.0 / 3}}};
  const std::string json = read_file(dir / "l.json");
  for (int g = 0; g < 2; ++g) {
    // "force" keys: two bodies, then the groups, then the total.
    const std::vector<double> F = json_numbers(json, "force", 2 + g);
    const std::vector<double> T = json_numbers(json, "torque", 2 + g);
    ASSERT_EQ(F.size(), 3u) << json;
    ASSERT_EQ(T.size(), 3u) << json;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(F[k], want[g][0][k], 1e-15) << "group " << g << " force " << k;
      EXPECT_NEAR(T[k], want[g][1][k], 1e-15) << "group " << g << " torque " << k;
    }
  }
  EXPECT_NE(json.find("\"tag\": 5, \"name\": \"lid, top\", \"elements\": 2"), std::string::npos)
      << json;
  // 17 digits: the file's numbers are the tool's doubles exactly.
  const std::vector<tools::GroupLoad> G =
      tools::group_loads(c.model.mesh, c.model.notes, c.t.data(), {0, 0, 0});
  EXPECT_EQ(json_numbers(json, "torque", 2)[0], G[0].torque[0]);
  EXPECT_EQ(json_numbers(json, "force", 4), (std::vector<double>{-1, -0.5, -0.5}));  // total
  const std::string check = "/usr/bin/python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " +
                            (dir / "l.json") + " > /dev/null 2>&1";
  EXPECT_EQ(std::system(check.c_str()), 0) << "not valid JSON:\n" << json;

  std::istringstream csv(read_file(dir / "l.csv"));
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(csv, line);) rows.push_back(split(line, ','));
  ASSERT_EQ(rows.size(), 1u + 2 + 2 + 1);
  EXPECT_EQ(rows[0].size(), 11u);
  EXPECT_EQ(rows[4][0], "group");
  EXPECT_EQ(rows[4][1], "5");
  EXPECT_EQ(rows[4][2], "\"lid, top\"");
  EXPECT_EQ(rows[4][3], "2");
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(std::stod(rows[4][5 + k]), want[1][0][k], 1e-15);
    EXPECT_NEAR(std::stod(rows[4][8 + k]), want[1][1][k], 1e-15);
  }
  EXPECT_EQ(rows[5][0], "total");

  EXPECT_NE(r.out.find("group 3 \"floor\" force: -1 0 -0.5\n"), std::string::npos) << r.out;

  // Surface CSV: one row per element; element 5's centroid, area, normal,
  // velocity (u = 0.1 i - 0.7, i = 12..14), traction, body and group.
  std::istringstream surf(read_file(dir / "s.csv"));
  std::vector<std::vector<std::string>> s;
  for (std::string line; std::getline(surf, line);) s.push_back(split(line, ','));
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[0].size(), 16u);
  const std::vector<std::string>& e5 = s[5];
  const double expect5[] = {5, 16.0 / 3, 0, 1.0 / 3, 0.5, 0, -1, 0, 0.5, 0.6, 0.7, 0, 1, 0, 2, 5};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(std::stod(e5[i]), expect5[i], 1e-11) << "column " << i;

  // output.vtu carries the tags as cell data.
  const testing::VtkArray g = testing::vtk_array(read_file(dir / "output.vtu"), "group");
  ASSERT_TRUE(g.found);
  EXPECT_EQ(g.values, (std::vector<double>{3, 3, 0, 5, 5}));
}

// Results of other boundary conditions on the same mesh are refused,
// naming the element, the component and the line; values within the
// records' twelve digits pass.
TEST(PostStale, PrescribedValuesMustMatchTheRecords) {
  ScratchDir dir("stale");
  SmallCase c;
  c.u[7] = 0.123456789012345678;  // element 3, component 2: more digits than the record keeps
  c.model.code(2, 1) = 2;         // element 2's x traction prescribed (t = 2)
  c.write(dir);
  testing::ToolRun r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  ASSERT_EQ(r.status, 0) << r.err;

  tools::Model changed = c.model_with_solution_values();
  changed.value(3, 2) = 0.5;  // a new velocity
  c.write_input(dir, changed);
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_EQ(r.status, 1);
  // The records start on line 6: element 3's is line 8.
  EXPECT_NE(r.err.find("output.dat, line 8: velocity component 2 of element 3 is 0.123456789012 "
                       "there, but"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("prescribes 0.5"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("rerun velmora"), std::string::npos) << r.err;

  changed = c.model_with_solution_values();
  changed.value(2, 1) = 2.0 * (1 + 1e-10);  // a traction off in the tenth digit
  c.write_input(dir, changed);
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 7: traction component 1 of element 2"), std::string::npos) << r.err;

  // A component switched from velocity to traction is compared with t.
  changed = c.model_with_solution_values();
  changed.code(4, 3) = 2;
  changed.value(4, 3) = c.u[11];
  c.write_input(dir, changed);
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("traction component 3 of element 4 is 0 there"), std::string::npos) << r.err;
}

// A sphere as velmora-mesh makes it (320 elements, normals into it), with
// a uniform traction, and the same with some elements turned.
struct SphereCase : testing::PostCase {
  explicit SphereCase(int flip_every) {
    std::ostringstream err;
    SurfaceMesh m = tools::prepare_mesh({"sphere", "--refine", "2"}, err).mesh;
    for (int e = 1; flip_every > 0 && e <= m.nelem; e += flip_every)
      std::swap(m.ielem[(e - 1) + m.nelem], m.ielem[(e - 1) + 2 * m.nelem]);
    set_mesh(m, "sphere");
    u.assign(3 * m.nelem, 0.0);
    t.assign(3 * m.nelem, 0.5);
  }
};

// The normals against the declared flow: a warning that says which way they
// point and what to do; none when they agree.
TEST(PostOrientation, WarnsWhenNormalsDisagreeWithTheDeclaredFlow) {
  ScratchDir dir("orient");
  const std::string warning =
      "velmora-post: warning: body 1: its normals point out of it, as for fluid inside it "
      "(interior flow), but input.dat declares exterior flow";
  SphereCase right(0), flipped(1);
  right.write(dir);
  testing::ToolRun r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  flipped.write(dir);  // every element turned: inside out for exterior flow
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("reorient it with velmora-mesh"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("body 1: 320 elements, closed,"), std::string::npos) << r.out;

  flipped.model.notes.interior = {1};  // declared interior: as it should be
  flipped.write(dir);
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_EQ(r.err, "");

  right.model.notes.interior = {1};  // interior declared, normals for exterior flow
  right.write(dir);
  r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  EXPECT_NE(r.err.find("body 1: its normals point into it, as for fluid outside it (exterior "
                       "flow), but input.dat declares it interior"),
            std::string::npos)
      << r.err;
}

// One element in ten turned: post and rigid call the sphere closed but
// inconsistently oriented and count the 32 elements, where they said
// "open" and "not a closed surface".
TEST(PostOrientation, InconsistentClosedMeshIsNamedAsSuch) {
  ScratchDir dir("inconsistent");
  const SphereCase c(10);
  c.write(dir);
  const testing::ToolRun r = post_tool({"--dir", dir.path().string(), "--no-vtu"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("body 1: 320 elements, closed but inconsistently oriented,"),
            std::string::npos)
      << r.out;
  const std::string note =
      "closed but inconsistently oriented: 32 elements run against their neighbours; "
      "velmora-mesh input.dat repairs it";
  EXPECT_NE(r.err.find("velmora-post: warning: body 1 is " + note), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("normals point"), std::string::npos) << r.err;
  try {
    tools::rigid_setup(c.model.mesh, "input.dat");
    ADD_FAILURE() << "rigid_setup accepted an inconsistently oriented body";
  } catch (const tools::ToolError& e) {
    EXPECT_EQ(std::string(e.what()), "input.dat: body 1 is " + note);
  }
  // A mesh with a hole is still "not a closed surface".
  SurfaceMesh open = c.model.mesh;
  open.nelem -= 1;
  open.ielem = {};
  for (int v = 1; v <= 3; ++v)
    for (int e = 1; e <= open.nelem; ++e) open.ielem.push_back(c.model.mesh.node(e, v));
  try {
    tools::rigid_setup(open, "input.dat");
    ADD_FAILURE() << "rigid_setup accepted an open body";
  } catch (const tools::ToolError& e) {
    EXPECT_EQ(std::string(e.what()), "input.dat: body 1 is not a closed surface");
  }
}

// Wrong command lines exit with status 2, an option given twice included;
// bad files still give 1.
TEST(PostUsage, WrongCommandLinesExitTwo) {
  ScratchDir dir("usage");
  SmallCase().write(dir);
  const std::string d = dir.path().string();
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--frobnicate"}, "unknown argument --frobnicate"},
      {{"--dir"}, "--dir needs a value"},
      {{"--about", "1,2"}, "--about expects 3 numbers"},
      {{"--dir", d, "--dir", "elsewhere"}, "--dir is given twice"},
      {{"--dir", d, "--about=1,0,0", "--about", "0,0,1"}, "--about is given twice"},
      {{"--dir", d, "--json", "a.json", "--json=b.json"}, "--json is given twice"},
      {{"--dir", d, "--ascii", "--ascii"}, "--ascii is given twice"},
      {{"--dir", d, "--vtu", "x.vtu", "--no-vtu"}, "--vtu and --no-vtu contradict"},
  };
  for (const auto& c : cases) {
    const testing::ToolRun r = post_tool(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(post_tool({"--dir", d + "/missing"}).status, 1);
  EXPECT_EQ(post_tool({"--dir", d, "--no-vtu"}).status, 0);
}

}  // namespace
}  // namespace velmora
