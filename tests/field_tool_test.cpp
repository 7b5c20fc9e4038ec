// velmora-field on solved models: the surface limit of the representation,
// the files it writes and its refusals of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bem/field_integrals.hpp"
#include "bem/triint.hpp"
#include "solver/lu.hpp"
#include "field_support.hpp"
#include "tool_support.hpp"
#include "vtk_read.hpp"
#include "toolkit/field_tool.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/result_io.hpp"

namespace velmora {
namespace {

using testing::ScratchDir;
using testing::read_file;
using testing::run_tool;
using testing::write_file;

// A model made by velmora-mesh and solved by velmora in `dir`.
void solved(const ScratchDir& dir, std::vector<std::string> mesh_args) {
  mesh_args.push_back("--dir");
  mesh_args.push_back(dir.path().string());
  const testing::ToolRun m = run_tool(tools::run_mesh_tool, mesh_args);
  ASSERT_EQ(m.status, 0) << m.err;
  const std::string cmd =
      "cd '" + dir.path().string() + "' && '" VELMORA_EXE "' > solve.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(dir / "solve.txt");
}

testing::ToolRun field(const ScratchDir& dir, std::vector<std::string> args) {
  args.push_back("--dir");
  args.push_back(dir.path().string());
  return run_tool(tools::run_field_tool, args);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

// Approaching the collocation point of an element from the fluid along its
// normal, the velocity tends to the element's own velocity: there the
// representation's limit is the collocation equation, solved here exactly
// (dense TRIINT matrix, LU) for the tractions of a rotating sphere, so the
// gap shrinks with the distance down to rounding.
TEST(FieldSurface, ApproachingAnElementGivesItsVelocity) {
  const testing::FieldModel fm(icosphere(2, 1.0));
  const MeshView mv = fm.view();
  const int ne = mv.nelem, n3 = 3 * ne;
  const double mu = 1.0, W[3] = {0.3, 0.0, 1.0};
  std::vector<double> u(n3), t(n3, 0.0), A(static_cast<std::size_t>(n3) * n3);
  for (int e = 1; e <= ne; ++e) {
    const double y[3] = {mv.col(e, 1), mv.col(e, 2), mv.col(e, 3)};
    u[3 * (e - 1)] = W[1] * y[2] - W[2] * y[1];
    u[3 * (e - 1) + 1] = W[2] * y[0] - W[0] * y[2];
    u[3 * (e - 1) + 2] = W[0] * y[1] - W[1] * y[0];
  }
  // sum_e' int U t = sum_e' int T u at every collocation point.
  std::vector<int> ltarg(ne + 1);
  ltarg[0] = ne;
  for (int g = 1; g <= ne; ++g) ltarg[g] = g;
  std::vector<double> reals(kTriintReals * ne);
  std::vector<int> ints(kTriintInts * ne);
  NearCoef c;
  TriintWork w;
  carve_triint_arrays(reals.data(), ints.data(), ne, c, w);
  static constexpr int kSym[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  for (int es = 1; es <= ne; ++es) {
    double normal[3];
    TRIINT(mv, mu, 1e-12, ltarg.data(), c, w, normal, es);
    for (int g = 0; g < ne; ++g)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          A[(3 * (es - 1) + j) * static_cast<std::size_t>(n3) + 3 * g + i] = c.u[kSym[i][j]][g];
          t[3 * g + i] += c.t[3 * i + j][g] * u[3 * (es - 1) + j];
        }
  }
  std::vector<int> ipvt(n3);
  int info = 0;
  lufact(A.data(), n3, n3, ipvt.data(), info);
  ASSERT_EQ(info, 0);
  lusolv(A.data(), n3, n3, ipvt.data(), t.data(), 0);
  const double h = fm.h();
  for (int e : {1, 77, 250}) {
    const ElementGeometry g = element_geometry(mv, e);
    double prev = INFINITY;
    for (double eps : {1e-2, 1e-4, 1e-6}) {
      double x[3], v[3], p;
      int in;
      for (int k = 0; k < 3; ++k) x[k] = mv.col(e, k + 1) - eps * h * g.normal[k];
      field_direct(mv, mu, 1e-12, FieldDensities{u.data(), t.data()}, 1, x, v, &p, &in);
      ASSERT_EQ(in, 0);
      double gap = 0;
      for (int i = 0; i < 3; ++i) gap = std::max(gap, std::fabs(v[i] - u[3 * (e - 1) + i]));
      EXPECT_LT(gap, prev) << e << ' ' << eps;
      prev = gap;
    }
    EXPECT_LT(prev, 1e-6) << e;
  }
}

// --points: header, one row per point in input order (comments and blank
// lines skipped), the points echoed exactly, inside flags for the centre of
// either sphere and for a point on a surface node, the flow of two spheres
// moving apart antisymmetric about the plane between them.
TEST(FieldTool, PointsGiveTheTableInInputOrder) {
  ScratchDir dir("field-points");
  solved(dir, {"spheres", "--sphere", "0,0,0,1", "--sphere", "3,0,0,1", "--refine", "2", "--body",
               "1", "--velocity", "-1,0,0", "--body", "2", "--velocity", "1,0,0"});
  const tools::Model model = tools::read_input_dat(dir / "input.dat");
  const double node1[3] = {model.mesh.x(1, 1), model.mesh.x(1, 2), model.mesh.x(1, 3)};
  std::ostringstream pts;
  pts << "# probes\n1.5 0.25 0.5\n\n   # between the spheres, mirrored\n-0.5e0 0 0\n"
      << "3 0 0\n" << std::setprecision(17) << node1[0] << ' ' << node1[1] << ' ' << node1[2]
      << "\n1.2 0.25 0.5\n"
      << "1.8 0.25 0.5\n";
  write_file(dir / "pts.txt", pts.str());
  const testing::ToolRun r = run_tool(tools::run_field_tool,
                                      {"--points", dir / "pts.txt", "--dir", dir.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("wrote"), std::string::npos);
  const std::vector<std::string> rows = lines(read_file(dir / "field.csv"));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0], "x,y,z,u,v,w,p,inside");
  std::vector<std::vector<double>> v;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::vector<double> row;
    std::istringstream in(rows[i]);
    for (std::string item; std::getline(in, item, ',');) row.push_back(std::stod(item));
    ASSERT_EQ(row.size(), 8u) << rows[i];
    v.push_back(row);
  }
  EXPECT_EQ(v[0][0], 1.5);
  EXPECT_EQ(v[1][0], -0.5);
  EXPECT_EQ(v[3][0], node1[0]);
  const int inside[6] = {0, 1, 1, 1, 0, 0};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(v[k][7], inside[k]) << k;
  for (int k : {1, 2, 3})
    for (int c = 3; c < 7; ++c) EXPECT_EQ(v[k][c], 0.0);
  // Mirror symmetry about x = 1.5 (the mesh has it; the trees of the solve
  // and of the evaluation do not, so it holds to the expansions' accuracy,
  // about 1e-3 of the velocity 1 at order 8): u_x odd, v and p even; at
  // x = 1.5 the x-velocity vanishes.
  EXPECT_NEAR(v[4][3], -v[5][3], 1e-3);
  EXPECT_NEAR(v[4][4], v[5][4], 1e-3);
  EXPECT_NEAR(v[4][6], v[5][6], 1e-3 * std::fabs(v[4][6]));
  EXPECT_NEAR(v[0][3], 0.0, 1e-3);
  EXPECT_GT(std::fabs(v[4][6]), 0.05);
}

// --plane, --box and --line: ImageData and PolyData files whose extents,
// point counts and array lengths agree, with the three point arrays.
TEST(FieldTool, GridsAndLinesGiveWellFormedVtkFiles) {
  ScratchDir dir("field-vtk");
  solved(dir, {"sphere", "--refine", "1", "--velocity", "1,0,0"});
  auto count_values = [](const std::string& text, const std::string& name) {
    const testing::VtkArray a = testing::vtk_array(text, name);  // ascii or binary
    return a.found ? static_cast<long>(a.values.size()) : -1L;
  };
  ASSERT_EQ(field(dir, {"--plane", "-2,-2,0.5,4,0,0,0,4,0,9,5", "--out", "slice"}).status, 0);
  const std::string vti = read_file(dir / "slice.vti");
  EXPECT_EQ(vti.rfind("<?xml", 0), 0u);
  EXPECT_NE(vti.find("WholeExtent=\"0 8 0 4 0 0\""), std::string::npos);
  EXPECT_NE(vti.find("Spacing=\"0.5 1 1\""), std::string::npos);
  EXPECT_EQ(count_values(vti, "velocity"), 3 * 45);
  EXPECT_EQ(count_values(vti, "pressure"), 45);
  EXPECT_EQ(count_values(vti, "inside"), 45);
  EXPECT_NE(vti.find("</VTKFile>"), std::string::npos);

  // A tilted plane: its axes are the columns of the Direction matrix.
  ASSERT_EQ(field(dir, {"--plane", "0,-1,-1,0,3,4,2,0,0,3,3", "--out", "tilted"}).status, 0);
  const std::string tilted = read_file(dir / "tilted.vti");
  EXPECT_NE(tilted.find("Direction=\"0 1 0 0.6 0 0.8 0.8 0 -0.6\""), std::string::npos);
  EXPECT_NE(tilted.find("Spacing=\"2.5 1 1\""), std::string::npos);

  ASSERT_EQ(field(dir, {"--box", "-2,-2,-2,2,2,2,5,5,5"}).status, 0);
  const std::string box = read_file(dir / "field.vti");
  EXPECT_NE(box.find("WholeExtent=\"0 4 0 4 0 4\""), std::string::npos);
  EXPECT_EQ(count_values(box, "inside"), 125);
  // The centre point (index 62) lies inside the sphere.
  {
    const std::vector<double> flags = testing::vtk_array(box, "inside").values;
    ASSERT_EQ(flags.size(), 125u);
    EXPECT_EQ(flags[62], 1);
    EXPECT_EQ(flags[0], 0);
  }

  ASSERT_EQ(field(dir, {"--line", "1.5,0,0,5,0,0,8"}).status, 0);
  const std::string vtp = read_file(dir / "field.vtp");
  EXPECT_NE(vtp.find("NumberOfPoints=\"8\""), std::string::npos);
  EXPECT_EQ(count_values(vtp, "pressure"), 8);
  EXPECT_EQ(count_values(vtp, "connectivity"), 8);
  EXPECT_NE(vtp.find("</VTKFile>"), std::string::npos);

  // --ascii: the same values as text, no appended block.
  ASSERT_EQ(field(dir, {"--line", "1.5,0,0,5,0,0,8", "--ascii", "--out", "text"}).status, 0);
  const std::string txt = read_file(dir / "text.vtp");
  EXPECT_EQ(txt.find("AppendedData"), std::string::npos);
  for (const char* name : {"velocity", "pressure", "inside"})
    EXPECT_EQ(testing::vtk_array(txt, name).values, testing::vtk_array(vtp, name).values) << name;
}

// The tool's own field.csv read back as --points (header skipped, the first
// three comma-separated fields the point) gives the same table; a bad field
// of a comma-separated line names its line.
TEST(FieldTool, CommaSeparatedPointsAndItsOwnTable) {
  ScratchDir dir("field-csv");
  solved(dir, {"sphere", "--refine", "1", "--velocity", "1,0,0"});
  write_file(dir / "pts.txt", "2 0 0\n0, 2.5 ,0\n1e0,1,1\n");
  testing::ToolRun r = field(dir, {"--points", dir / "pts.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string first = read_file(dir / "field.csv");
  EXPECT_EQ(lines(first).size(), 4u);
  std::filesystem::rename(dir / "field.csv", dir / "again.csv");
  r = field(dir, {"--points", dir / "again.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "field.csv"), first);
  write_file(dir / "pts.txt", "x,y,z\n2,0,0\n3,0\n");
  r = field(dir, {"--points", dir / "pts.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pts.txt:3:"), std::string::npos) << r.err;
  write_file(dir / "pts.txt", "2,0,zero\n");
  EXPECT_EQ(field(dir, {"--points", dir / "pts.txt"}).status, 1);
}

// Bad input: one line naming the file (and line), status 1, no file
// written (an older result stays as it was); a wrong command line: status 2.
TEST(FieldTool, BadInputStopsWithTheFileAndLineAndWritesNothing) {
  ScratchDir dir("field-bad");
  solved(dir, {"sphere", "--refine", "1", "--velocity", "1,0,0"});
  write_file(dir / "field.csv", "old\n");
  write_file(dir / "pts.txt", "# probes\n2 0 0\n3 0 zero\n");
  testing::ToolRun r = field(dir, {"--points", dir / "pts.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pts.txt:3:"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(read_file(dir / "field.csv"), "old\n");
  write_file(dir / "pts.txt", "2 0 0 4\n");
  EXPECT_EQ(field(dir, {"--points", dir / "pts.txt"}).status, 1);

  write_file(dir / "pts.txt", "2 0 0\n");
  // A result file of another model.
  const std::string good = read_file(dir / "output.dat");
  {
    ScratchDir other("field-other");
    solved(other, {"sphere", "--refine", "1", "--radius", "2", "--velocity", "1,0,0"});
    write_file(dir / "output.dat", read_file(other / "output.dat"));
  }
  r = field(dir, {"--points", dir / "pts.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("output.dat, line "), std::string::npos) << r.err;
  // A result file with values that are not numbers (a run that diverged).
  {
    std::string nan = good;
    const std::size_t at = nan.find(" Boundary solutions:");
    const std::size_t rec = nan.find('\n', nan.find('\n', nan.find('\n', at) + 1) + 1) + 1;
    nan.replace(nan.find("E", rec) - 16, 20, "                 NaN");
    write_file(dir / "output.dat", nan);
    r = field(dir, {"--points", dir / "pts.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("output.dat, line "), std::string::npos) << r.err;
  }
  // A result file cut short (an unfinished run).
  write_file(dir / "output.dat", good.substr(0, good.size() / 2));
  r = field(dir, {"--points", dir / "pts.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("output.dat"), std::string::npos) << r.err;
  // No result file: an unsolved model.
  std::filesystem::remove(dir / "output.dat");
  r = field(dir, {"--points", dir / "pts.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("output.dat"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "field.csv"), "old\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "field.csv.part"));

  EXPECT_EQ(field(dir, {}).status, 2);
  EXPECT_EQ(field(dir, {"--points", "a", "--line", "0,0,0,1,1,1,5"}).status, 2);
  EXPECT_EQ(field(dir, {"--plane", "0,0,0,1,0,0,1,1,0,5,5"}).status, 2);  // not perpendicular
  EXPECT_EQ(field(dir, {"--line", "0,0,0,1,1,1,1"}).status, 2);
  EXPECT_EQ(field(dir, {"--bogus"}).status, 2);
  // A second --dir or --out would override the first: refused by name.
  for (const char* opt : {"--dir", "--out"}) {
    const testing::ToolRun t =
        run_tool(tools::run_field_tool, {opt, "a", "--line", "0,0,0,1,1,1,5", opt, "b"});
    EXPECT_EQ(t.status, 2) << opt;
    EXPECT_NE(t.err.find(std::string("velmora-field: ") + opt + " given twice"), std::string::npos)
        << t.err;
  }
  const testing::ToolRun h = run_tool(tools::run_field_tool, {"--help"});
  EXPECT_EQ(h.status, 0);
  for (const char* opt : {"--points", "--plane", "--box", "--line", "--out", "--dir"})
    EXPECT_NE(h.out.find(opt), std::string::npos) << opt;
}

}  // namespace
}  // namespace velmora
