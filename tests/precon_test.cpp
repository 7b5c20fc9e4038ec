// The block preconditioner against blocks cut from the dense system matrix.
#include "solver/precon.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"
#include "solver/lu.hpp"

namespace velmora {
namespace {

using testing::FmmSetup;
using testing::Model;
using testing::PreconStore;

// On every leaf, z solves the leaf's diagonal block of the system matrix: B z = x to rounding.
TEST(Precon, SolvesEachLeafBlockOfTheSystemMatrix) {
  const Model m = testing::make_model(ellipsoid(2, 1.5, 1.0, 0.7), 0.8, 11);
  FmmSetup s(m, 12, 4);
  PreconStore ps(m, s);
  const int n = 3 * m.mesh.nelem;
  std::vector<double> x(n), z(n, 0.0);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (double& v : x) v = u(rng);
  PRECON(x.data(), z.data(), ps.data);
  const std::vector<double> a = testing::dense_matrix(m.view(), m.mu, s.snaptol, s.near.view());
  const Tree t = s.tree.view();
  int leaves = 0;
  for (int lev = 2; lev <= *t.nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
      if (!is_leaf(t, c, lev, s.maxl, s.minlev)) continue;
      ++leaves;
      double worst = 0.0, scale = 0.0;
      for (int k = t.fst(c); k <= t.lst(c); ++k)
        for (int i = 0; i < 3; ++i) {
          const long row = 3L * (t.elord(k) - 1) + i;
          double bz = 0.0;
          for (int l = t.fst(c); l <= t.lst(c); ++l)
            for (int j = 0; j < 3; ++j) {
              const long col = 3L * (t.elord(l) - 1) + j;
              bz += a[row + col * n] * z[col];
              scale = std::max(scale, std::fabs(a[row + col * n] * z[col]));
            }
          worst = std::max(worst, std::fabs(bz - x[row]));
        }
      EXPECT_LT(worst, 1e-12 * std::max(scale, 1.0)) << "leaf " << c;
    }
  EXPECT_GT(leaves, 4);
  // Nothing is kept between applications: a second application gives the same bits.
  std::vector<double> z2(n, 0.0);
  PRECON(x.data(), z2.data(), ps.data);
  EXPECT_EQ(z, z2);
}

// One-element leaves with every traction prescribed: the block is the self integral I/2, z = 2x.
TEST(Precon, SingleElementTractionLeavesDoubleTheVector) {
  Model m = testing::make_model(icosphere(1, 1.0), 1.0, 5);
  const int ne = m.mesh.nelem;
  for (int k = 0; k < 3; ++k)
    for (int e = 0; e < ne; ++e) m.bc[e + k * static_cast<std::size_t>(ne)] = 2.0;
  FmmSetup s(m, 1, 2);
  PreconStore ps(m, s);
  std::vector<double> x(3 * ne), z(3 * ne, 0.0);
  for (int i = 0; i < 3 * ne; ++i) x[i] = 1.0 + 0.25 * i;
  PRECON(x.data(), z.data(), ps.data);
  for (int i = 0; i < 3 * ne; ++i) EXPECT_NEAR(z[i], 2.0 * x[i], 1e-13 * std::fabs(x[i]));
}

// A one-leaf open mesh with every velocity prescribed (codes 0, 1 and 3): the one
// block is the whole system, minus the Stokeslet integrals, so z = A^-1 x.
// Checked against the operator's own product (A z = x through the densities
// the passes use) and against an LU solve of the dense matrix.
TEST(Precon, OneLeafVelocityMeshInvertsTheDenseOperator) {
  // A small sphere near one corner of the box spanned by two unused nodes
  // at (0,0,0) and (1,1,1): the root cube is that box, and the sphere lies
  // in one cell of level 2.
  const double centre[3] = {0.12, 0.12, 0.12};
  SurfaceMesh mesh = icosphere(1, 0.05, centre);
  const int nn = mesh.nnode;
  std::vector<double> xnode(3 * static_cast<std::size_t>(nn + 2));
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < nn; ++k) xnode[k + c * (nn + 2)] = mesh.xnode[k + c * nn];
    xnode[nn + c * (nn + 2)] = 0.0;
    xnode[nn + 1 + c * (nn + 2)] = 1.0;
  }
  mesh.xnode = xnode;
  mesh.nnode = nn + 2;
  // Only the upper half of the sphere: on a closed surface the single layer
  // is nearly singular (the normal field n gives no velocity), on an open
  // bowl its block is well conditioned.
  std::vector<int> kept;
  for (int e = 1; e <= mesh.nelem; ++e) {
    double zc = 0.0;
    for (int v = 1; v <= 3; ++v) zc += mesh.x(mesh.node(e, v), 3) / 3.0;
    if (zc > centre[2]) kept.push_back(e);
  }
  std::vector<int> ielem(3 * kept.size());
  for (int v = 1; v <= 3; ++v)
    for (std::size_t i = 0; i < kept.size(); ++i)
      ielem[i + (v - 1) * kept.size()] = mesh.node(kept[i], v);
  mesh.ielem = ielem;
  mesh.nelem = static_cast<int>(kept.size());
  Model m = testing::make_model(mesh, 0.7, 9);
  const int ne = m.mesh.nelem, n = 3 * ne;
  const double codes[3] = {1.0, 0.0, 3.0};
  for (int k = 0; k < 3; ++k)
    for (int e = 0; e < ne; ++e) m.bc[e + k * static_cast<std::size_t>(ne)] = codes[(e + k) % 3];
  FmmSetup s(m, ne, 2);
  const Tree t = s.tree.view();
  int leaves = 0;
  for (int lev = 2; lev <= *t.nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c)
      if (is_leaf(t, c, lev, s.maxl, s.minlev) && t.fst(c) <= t.lst(c)) {
        ++leaves;
        EXPECT_EQ(t.lst(c) - t.fst(c) + 1, ne);
      }
  ASSERT_EQ(leaves, 1);

  PreconStore ps(m, s);
  std::vector<double> x(n), z(n, 0.0);
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (double& v : x) v = u(rng);
  PRECON(x.data(), z.data(), ps.data);

  // The block's condition number is modest (a single layer on 40 elements
  // of an open bowl), so both checks hold to 1e-11 of the vectors' size.
  std::vector<double> az(n, 0.0);
  testing::dense_apply(m.view(), m.mu, s.snaptol, s.near.view(), 1, z.data(), az.data());
  double worst = 0.0, xmax = 0.0, zmax = 0.0;
  for (int i = 0; i < n; ++i) {
    worst = std::max(worst, std::fabs(az[i] - x[i]));
    xmax = std::max(xmax, std::fabs(x[i]));
    zmax = std::max(zmax, std::fabs(z[i]));
  }
  EXPECT_LT(worst, 1e-11 * xmax);

  std::vector<double> a = testing::dense_matrix(m.view(), m.mu, s.snaptol, s.near.view());
  std::vector<int> ipvt(n);
  int info = 0;
  lufact(a.data(), n, n, ipvt.data(), info);
  ASSERT_EQ(info, 0);
  std::vector<double> zref = x;
  lusolv(a.data(), n, n, ipvt.data(), zref.data(), 0);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(z[i], zref[i], 1e-11 * zmax) << i;
}

}  // namespace
}  // namespace velmora
