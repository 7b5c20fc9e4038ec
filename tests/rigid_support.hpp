// Controls of the rigid-body tests: the tree, quadrature and snapping every
// test shares; each test sets its GMRES and expansion choices on top.
#pragma once

#include "rigid/rigid_solver.hpp"

namespace velmora {

// mu 1, minlev 2, 7-point Gauss rule, cubfac 1.01, snaptol 1e-10, maxdep
// 20, maxcel 100,000, and the given restart length m, cycles, tolerance,
// nexp and leaf size maxl.
inline RigidControls rigid_test_controls(int m, int ncycle, double tol, int nexp, int maxl) {
  RigidControls c;
  c.mu = 1.0;
  c.minlev = 2;
  c.ngauss = 7;
  c.cubfac = 1.01;
  c.snaptol = 1e-10;
  c.maxdep = 20;
  c.maxcel = 100000;
  c.m = m;
  c.ncycle = ncycle;
  c.tol = tol;
  c.nexp = nexp;
  c.maxl = maxl;
  return c;
}

}  // namespace velmora
