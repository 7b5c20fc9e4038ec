// The completed double-layer mobility solver against dense products and
// analytic mobilities of spheres and spheroids.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/constants.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"
#include "rigid/rigid_bodies.hpp"
#include "rigid/rigid_solver.hpp"

namespace velmora {
namespace {

RigidControls controls(int nexp = 12, int maxl = 30) {
  RigidControls c;
  c.mu = 1.0;
  c.snaptol = 1e-10;
  c.m = 60;
  c.ncycle = 4;
  c.tol = 1e-10;
  c.maxdep = 20;
  c.maxcel = 100000;
  c.nexp = nexp;
  c.maxl = maxl;
  c.ngauss = 7;
  return c;
}

// Translation and rotation of one sphere, printed for the convergence table.
TEST(RigidProbe, Sphere) {
  for (int L = 1; L <= 4; ++L) {
    const SurfaceMesh m = icosphere(L, 1.0);
    const std::vector<int> body(m.nelem, 1);
    const double c[3] = {0, 0, 0};
    RigidSolver s(m, body.data(), 1, c, controls());
    double loads[6] = {1, 0, 0, 0, 0, 1}, motion[6];
    const SolveReport r = s.mobility(loads, motion);
    printf("L=%d n=%d its=%d be=%.2e V=%.8f (%.3e) W=%.8f (%.3e)\n", L, m.nelem, r.iterations,
           r.backward_error, motion[0], motion[0] * 6 * kPi - 1, motion[5],
           motion[5] * 8 * kPi - 1);
  }
}

}  // namespace
}  // namespace velmora
