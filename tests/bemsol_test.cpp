// The first steps of the solution driver: the Gauss rule, the reading of
// nodes and elements into the block, and the collocation points; and the
// orientation of the bundled sphere example.
#include "run/bemsol.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "bem/mesh.hpp"
#include "common/array.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "registration_table.hpp"
#include "run/registry.hpp"
#include "stop_record.hpp"

namespace velmora {
namespace {

// An allocated block with the scalars of a model of nelem elements and nnode nodes.
Block model_block(int nelem, int nnode, int ngauss) {
  Block a;
  RunScalars s;
  s.nelem = nelem, s.nnode = nnode, s.mu = 1.0, s.m = 5, s.maxl = 4, s.maxcel = 20;
  s.maxdep = 6, s.nexp = 2, s.ngauss = ngauss, s.minlev = 2, s.cubfac = 1.01;
  s.lwork = static_cast<int>(testing::lwork_of(nelem, s.m));
  register_variables(a, RunSizes{nelem, nnode, s.lwork, s.maxl, s.maxcel, s.maxdep, s.nexp});
  a.allocate();
  store_scalars(a, s);
  return a;
}

// Node and element records in any order fill the rows named by their numbers; values may be
// split over lines and followed by comments; a code of 2 in any notation is stored as 2.
TEST(ReadMesh, RecordsFillRowsByNumber) {
  Block a = model_block(2, 4, 7);
  auto dat = ListReader::from_text("input.dat",
                                   "Nodes (heading)\n"
                                   "3  0.0 3.0 0.0   third node\n"
                                   "1  0.0 0.0\n   0.0\n"
                                   "4, 0.0, 0.0, 3.0\n"
                                   "2 3.0 0.0 0.0 ! second\n"
                                   "Elements (heading) 1 2 3\n"
                                   "2  1 4 2   2. 0.2D1 -2   0.5 -0.25 1e1\n"
                                   "1  1 3\n 2  2 2.0E0 1  0.1 0.2 0.3  rest ignored\n"
                                   "trailing text after the last element\n");
  read_mesh(a, dat);
  EXPECT_FALSE(dat.is_open());
  Mat<double> xnode(a.var<double>(kVarXnode), 4);
  Mat<int> ielem(a.var<int>(kVarIelem), 2);
  Mat<double> bc(a.var<double>(kVarBc), 2);
  const double expected_x[4][3] = {{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
  for (int k = 1; k <= 4; ++k)
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(xnode(k, c), expected_x[k - 1][c - 1]) << k << c;
  const int expected_e[2][3] = {{1, 3, 2}, {1, 4, 2}};
  const double expected_bc[2][6] = {{2, 2, 1, 0.1, 0.2, 0.3}, {2, 2, -2, 0.5, -0.25, 10}};
  for (int e = 1; e <= 2; ++e) {
    for (int v = 1; v <= 3; ++v) EXPECT_EQ(ielem(e, v), expected_e[e - 1][v - 1]);
    for (int j = 1; j <= 6; ++j) EXPECT_EQ(bc(e, j), expected_bc[e - 1][j - 1]);
  }
  MeshView mesh{2, 4, ielem.data(), xnode.data(), nullptr, bc.data()};
  EXPECT_TRUE(mesh.traction_prescribed(2, 1));
  EXPECT_TRUE(mesh.traction_prescribed(2, 2));
  EXPECT_FALSE(mesh.traction_prescribed(2, 3));  // -2 is a velocity code
  EXPECT_FALSE(mesh.traction_prescribed(1, 3));
}

// BEMSOL fills the chosen Gauss rule and the collocation points (the centroids).
TEST(Bemsol, GaussRuleAndCollocationPoints) {
  Block a = model_block(1, 3, 16);
  auto dat = ListReader::from_text(
      "input.dat", "nodes\n1 0 0 0\n2 3 0 0\n3 0 6 9\nelements\n1 1 2 3 1 1 1 0 0 0\n");
  BEMSOL(a, dat);
  double sum = 0.0;
  for (int g = 0; g < 16; ++g) sum += a.var<double>(kVarGwt)[g];
  EXPECT_NEAR(sum, 1.0, 1e-13);  // the stored 15-digit weights sum to 0.99999999999999
  Mat<double> xcol(a.var<double>(kVarXcol), 1);
  EXPECT_EQ(xcol(1, 1), 1.0);
  EXPECT_EQ(xcol(1, 2), 2.0);
  EXPECT_EQ(xcol(1, 3), 3.0);
}

// An invalid ngauss stops before anything of the mesh is read.
TEST(Bemsol, InvalidNgaussStopsFirst) {
  for (int ngauss : {0, 4, 6, 15}) {
    Block a = model_block(1, 3, ngauss);
    auto dat = ListReader::from_text("input.dat", "nodes\n1 0 0 0\n");
    EXPECT_EQ(test::stop_record([&] { BEMSOL(a, dat); }), " Invalid parameter --> ngauss; stop\n");
    EXPECT_EQ(dat.line(), 0);
  }
}

// The sphere example: 1280 elements on 642 nodes of the unit sphere, every normal
// (n2 - n1) x (n3 - n1) pointing into the body, area just below 4 pi.
TEST(SphereExample, OrientationAndGeometry) {
  std::ifstream f(std::string(VELMORA_SOURCE_DIR) + "/examples/sphere-translate/input.dat");
  ASSERT_TRUE(f.is_open());
  std::ostringstream s;
  s << f.rdbuf();
  auto dat = ListReader::from_text("input.dat", s.str());
  dat.title({"title"});
  dat.title({"second title line"});
  int nelem = 0, nnode = 0;
  double mu = 0;
  dat.begin();
  dat.get(nelem, {"nelem"});
  dat.get(nnode, {"nnode"});
  dat.get(mu, {"mu"});
  dat.end();
  ASSERT_EQ(nelem, 1280);
  ASSERT_EQ(nnode, 642);
  EXPECT_EQ(mu, 1.0);
  Block a = model_block(nelem, nnode, 7);
  read_mesh(a, dat);
  MeshView mesh{nelem,
                nnode,
                a.var<int>(kVarIelem),
                a.var<double>(kVarXnode),
                nullptr,
                a.var<double>(kVarBc)};
  for (int k = 1; k <= nnode; ++k) {
    const double r = std::sqrt(mesh.x(k, 1) * mesh.x(k, 1) + mesh.x(k, 2) * mesh.x(k, 2) +
                               mesh.x(k, 3) * mesh.x(k, 3));
    EXPECT_NEAR(r, 1.0, 1e-15) << "node " << k;
  }
  double area = 0.0;
  int outward = 0;
  for (int e = 1; e <= nelem; ++e) {
    const ElementGeometry g = element_geometry(mesh, e);
    area += g.area;
    double dot = 0.0;
    for (int c = 1; c <= 3; ++c) {
      const double centroid =
          (mesh.x(mesh.node(e, 1), c) + mesh.x(mesh.node(e, 2), c) + mesh.x(mesh.node(e, 3), c));
      dot += g.normal[c - 1] * centroid;
    }
    if (!(dot < 0.0)) ++outward;
    for (int k = 1; k <= 3; ++k) {
      EXPECT_FALSE(mesh.traction_prescribed(e, k));
      EXPECT_EQ(mesh.value(e, k), k == 1 ? 1.0 : 0.0);
    }
  }
  EXPECT_EQ(outward, 0);
  // An inscribed convex polyhedron has less area than the sphere; 1280 faces come within 1%.
  EXPECT_LT(area, 4.0 * M_PI);
  EXPECT_GT(area, 0.99 * 4.0 * M_PI);
}

}  // namespace
}  // namespace velmora
