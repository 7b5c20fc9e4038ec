// The block preconditioner against blocks cut from the dense system matrix.
#include "solver/precon.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"

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

}  // namespace
}  // namespace velmora
