// Result records: element lines, total force and the Tecplot file with nodal averages.
#include "run/results.hpp"

#include <gtest/gtest.h>

#include <omp.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/units.hpp"

namespace velmora {
namespace {

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Two triangles sharing an edge: nodes 1 and 3 in both, node 2 in one, node 5 in none.
struct TwoTriangles {
  double xnode[15] = {0, 1, 0, -1, 5, 0, 0, 1, 0, 5, 0, 0, 0, 0, 5};
  int ielem[6] = {1, 1, 2, 3, 3, 4};
  double xcol[6];
  double bc[12] = {};
  MeshView mesh() {
    for (int e = 0; e < 2; ++e)
      for (int c = 0; c < 3; ++c) {
        double s = 0;
        for (int v = 0; v < 3; ++v) s += xnode[ielem[e + 2 * v] - 1 + 5 * c];
        xcol[e + 2 * c] = s / 3.0;
      }
    return MeshView{2, 5, ielem, xnode, xcol, bc};
  }
};

// The element record is I8 followed by nine E21.12 fields, 197 characters.
TEST(Results, ElementRecordLayout) {
  TwoTriangles t;
  const MeshView m = t.mesh();
  const double u[6] = {1, 0, -0.5, 0, 0, 0}, tr[6] = {2, 0, 0, 0, 0, 0};
  const std::string r = element_record(1, u, tr, m);
  ASSERT_EQ(r.size(), 197u);
  EXPECT_EQ(r.substr(0, 8), "       1");
  EXPECT_EQ(r.substr(8, 21), "   0.100000000000E+01");
  EXPECT_EQ(r.substr(50, 21), "  -0.500000000000E+00");
  EXPECT_EQ(r.substr(71, 21), "   0.200000000000E+01");
  EXPECT_EQ(r.substr(134, 21), "   0.333333333333E+00");
}

// The force is minus the area-weighted sum of the tractions; the single-element case is -A t.
TEST(Results, TotalForceIsMinusAreaTimesTraction) {
  TwoTriangles t;
  const MeshView m = t.mesh();
  const double tr[6] = {1, 2, 3, -4, 0, 0.5};
  const auto f = total_force(m, tr);
  EXPECT_DOUBLE_EQ(f[0], -0.5 * 1 - 0.5 * -4);
  EXPECT_DOUBLE_EQ(f[1], -0.5 * 2);
  EXPECT_DOUBLE_EQ(f[2], -0.5 * 3 - 0.5 * 0.5);
}

// Nodal averages: a shared node gets the mean, a single-element node its value, an unused node zeros.
TEST(Results, TecplotNodalAverages) {
  TwoTriangles t;
  const double u[6] = {1, 2, 3, 3, 4, 5}, tr[6] = {-1, -2, -3, 0, 0, 0};
  UnitsGuard guard;
  std::ostringstream plt;
  units().attach(kUnitPlt, &plt);
  TECOUT(2, 5, t.xnode, t.ielem, u, tr);
  const auto l = lines(plt.str());
  ASSERT_EQ(l.size(), 3u + 2 * 5 + 1 + 2);
  EXPECT_EQ(l[0], " TITLE = \"A Model for Stokes Flow Analysis\" ");
  EXPECT_EQ(l[1], " VARIABLES = \"X\", \"Y\", \"Z\", \"u\", \"v\", \"w\", \"t_x\", \"t_y\", \"t_z\" ");
  EXPECT_EQ(l[2].rfind(" ZONE DATAPACKING=POINT, ZONETYPE=FETRIANGLE,N=", 0), 0u);
  // Node 1 (both elements): mean of the two.
  EXPECT_EQ(l[4], "  0.2000000E+01  0.3000000E+01  0.4000000E+01 -0.5000000E+00 -0.1000000E+01 -0.1500000E+01");
  // Node 2 (element 1 only): its value unchanged.
  EXPECT_EQ(l[6], "  0.1000000E+01  0.2000000E+01  0.3000000E+01 -0.1000000E+01 -0.2000000E+01 -0.3000000E+01");
  // Node 5 (unused): coordinates and zeros.
  EXPECT_EQ(l[11], "  0.5000000E+01  0.5000000E+01  0.5000000E+01");
  EXPECT_EQ(l[12], "  0.0000000E+00  0.0000000E+00  0.0000000E+00  0.0000000E+00  0.0000000E+00  0.0000000E+00");
  EXPECT_EQ(l[13], " ");
  EXPECT_EQ(l[14], "              1              2              3");
  EXPECT_EQ(l[15], "              1              3              4");
}

// Records formatted in pieces on several threads arrive whole and in order,
// across the pieces' and the rounds' boundaries, for any thread count.
TEST(Results, RecordsInPiecesKeepTheirOrder) {
  const long count = 2048L * 64 * 2 + 7;  // two full rounds and a short third
  const auto run = [&](int threads) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    std::string all;
    long calls = 0;
    write_in_pieces(
        count, [](std::string& t, long i) { t += std::to_string(3 * i + 1); },
        [&](std::string_view piece) {
          ++calls;
          all += piece;
        });
    omp_set_num_threads(saved);
    EXPECT_EQ(calls, (count + 2047) / 2048);
    return all;
  };
  const std::string one = run(1);
  std::string expect;
  for (long i = 0; i < count; ++i) expect += std::to_string(3 * i + 1) + "\n";
  EXPECT_EQ(one, expect);
  EXPECT_EQ(run(3), one);
  std::string none;
  write_in_pieces(0, [](std::string&, long) { FAIL(); }, [&](std::string_view p) { none += p; });
  EXPECT_EQ(none, "");
}

}  // namespace
}  // namespace velmora
