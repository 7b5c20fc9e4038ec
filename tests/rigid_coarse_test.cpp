// The coarse correction of the mobility operator on piecewise rigid motions:
// on a thin torus it inverts the operator on its columns, leaves the
// solution as it is, and takes GMRES from a slow solve to a fast one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "bem/shapes.hpp"
#include "rigid/coarse_space.hpp"
#include "rigid/rigid_solver.hpp"
#include "toolkit/rigid_problem.hpp"
#include "rigid_support.hpp"

namespace velmora {
namespace {

RigidControls controls(int m, int ncycle) { return rigid_test_controls(m, ncycle, 1e-6, 12, 30); }

// A ring 40 tube radii across, elements about the tube's radius: the
// interior points (two clearances apart) cut it into 64 pieces.
struct ThinRing {
  SurfaceMesh mesh = torus(128, 6, 1.0, 0.05);
  tools::RigidSetup setup = tools::rigid_setup(mesh, "ring");
};

std::vector<double> load() { return {0.3, -0.2, -1.0, 0.0, 0.0, 0.0}; }

TEST(RigidCoarseSpace, InvertsTheOperatorOnItsColumns) {
  ThinRing r;
  std::unique_ptr<RigidSolver> solver = tools::make_solver(r.mesh, r.setup, controls(60, 2));
  RigidCoarseSpace cs(solver->bodies());
  const int npts = r.setup.point_first[1] - r.setup.point_first[0];
  ASSERT_GT(npts, 32);
  EXPECT_EQ(cs.pieces(), std::min(npts, RigidCoarseSpace::kMaxPieces));
  EXPECT_EQ(cs.dimension(), 6 * cs.pieces());
  const auto amul = [&](const double* x, double* y) { solver->apply(x, y); };
  // The engine's first product integrates the near field in double
  // precision and then keeps it (in single precision by default): one
  // product first, so that every product below applies the same matrix.
  const int n = 3 * r.mesh.nelem;
  std::vector<double> z(n, 1.0), mz(n), amz(n);
  solver->apply(z.data(), amz.data());
  ASSERT_TRUE(cs.factor(amul));
  // Columns orthonormal in the area-weighted inner product, and
  // <z_m, Aop M z_l> = delta_ml: M is Aop's Galerkin inverse on span Z.  A
  // transposed or mis-indexed coarse matrix fails the off-diagonal entries.
  for (const int l : {0, 4, 17, cs.dimension() - 1}) {
    std::fill(z.begin(), z.end(), 0.0);
    cs.add_column(l, z.data());
    cs.apply(z.data(), mz.data());
    solver->apply(mz.data(), amz.data());
    for (const int m : {0, 1, 4, 5, 17, 23, cs.dimension() - 1}) {
      EXPECT_NEAR(cs.inner(m, z.data()), m == l ? 1.0 : 0.0, 1e-12) << l << " " << m;
      EXPECT_NEAR(cs.inner(m, amz.data()), m == l ? 1.0 : 0.0, 1e-10) << l << " " << m;
    }
  }
  // Off span Z (W-orthogonal to it) M is the identity.
  std::vector<double> x(n), y(n);
  for (int i = 0; i < n; ++i) x[i] = std::sin(0.7 * i) * (1 + i % 3);
  for (int l = 0; l < cs.dimension(); ++l) {
    std::fill(z.begin(), z.end(), 0.0);
    cs.add_column(l, z.data());
    const double c = cs.inner(l, x.data());
    for (int i = 0; i < n; ++i) x[i] -= c * z[i];
  }
  cs.apply(x.data(), y.data());
  for (int i = 0; i < n; i += 97) EXPECT_NEAR(y[i], x[i], 1e-12);
}

// The solver switches the coarse space on by itself when plain restarts
// converge slowly, and the motion is the plain solve's to its tolerance.
TEST(RigidCoarseSpace, SpeedsUpTheThinRingAndKeepsItsMotion) {
  ThinRing r;
  const std::vector<double> f = load();
  std::vector<double> lc(6);
  tools::loads_to_centres(r.setup, f.data(), lc.data());
  // Plain GMRES to convergence in one cycle of restart 400 (the switch
  // comes only after a cycle that did not converge).
  std::unique_ptr<RigidSolver> plain = tools::make_solver(r.mesh, r.setup, controls(400, 1));
  std::vector<double> m0(6), m1(6);
  const SolveReport r0 = plain->mobility(lc.data(), m0.data());
  ASSERT_TRUE(r0.converged);
  EXPECT_EQ(plain->coarse_dimension(), 0);
  // Short restarts, where plain GMRES is slow enough that the 384 products
  // of the coarse matrix pay (measured: 74 iterations in all, against 351
  // at restart 60, where the solver rightly keeps to plain cycles).
  std::unique_ptr<RigidSolver> fast = tools::make_solver(r.mesh, r.setup, controls(20, 30));
  const SolveReport r1 = fast->mobility(lc.data(), m1.data());
  ASSERT_TRUE(r1.converged);
  EXPECT_GT(fast->coarse_dimension(), 0);
  EXPECT_GT(r0.iterations, 60);
  // Both solutions have backward errors below tol = 1e-6 on an operator
  // whose condition is of order ten (eigenvalues of I - A + P in (0, 1]
  // lifted by P): motions agree to some 1e-5 of their size.
  double scale = 0.0;
  for (int k = 0; k < 6; ++k) scale = std::max(scale, std::fabs(m0[k]));
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(m1[k], m0[k], 1e-4 * scale) << k;
  // A second solve reuses the factored coarse space from its first product.
  const SolveReport r2 = fast->mobility(lc.data(), m1.data());
  EXPECT_LE(r2.iterations, 30);
}

}  // namespace
}  // namespace velmora
