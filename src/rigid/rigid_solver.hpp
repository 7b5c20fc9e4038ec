// Mobility of rigid bodies by the completed double layer (rigid/rigid_bodies.hpp),
// solved by restarted GMRES on the fast multipole product, and the surface
// tractions of the found motions by the first-kind equation of the program.
//
// One RigidSolver holds the tree, the expansion arrays and the fast engine
// (with its near-field cache) for a mesh, and reuses them for every solve:
// the mobility solves of any number of right-hand sides (the columns of a
// mobility matrix) and, last, the traction solve, which builds a second
// engine over the same tree with the velocities prescribed.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "bem/shapes.hpp"
#include "rigid/rigid_bodies.hpp"
#include "run/registry.hpp"

namespace velmora {

// Solver controls: the scalars of a run as input.cnd and input.dat give
// them (mu, snaptol, M, iprec, ncycle, tol, maxdep, minlev, maxl, maxcel,
// nexp, ngauss, cubfac; the sizes are not read).  iprec is used by the
// traction solve only: the second-kind equation is solved without
// preconditioner.
using RigidControls = RunScalars;

struct SolveReport {
  int iterations = 0;
  double backward_error = 0.0;  // unpreconditioned, ||b - A x|| / ||b||
  bool converged = false;
};

// Restarted GMRES (iterative classical Gram-Schmidt, true residual at restart,
// zero initial guess) on amul, left-preconditioned by prec when given.  x
// receives the solution.  A zero right-hand side gives x = 0 without
// iterations.
SolveReport gmres_solve(int n, int restart, int maxit, double tol,
                        const std::function<void(const double*, double*)>& amul,
                        const std::function<void(const double*, double*)>* prec,
                        const double* b, double* x);

class RigidSolver {
 public:
  // body[e-1] in 1..nbody, centres 3 per body (reference points inside the
  // bodies, where the point force and torque sit).  The mesh is copied.
  // The tree report of the build goes nowhere; fatal stops of the tree build
  // (maxdep or maxcel too small) raise StopRun with their line on the error
  // unit.
  RigidSolver(const SurfaceMesh& mesh, const int* body, int nbody, const double* centres,
              const RigidControls& ctl);
  ~RigidSolver();
  RigidSolver(const RigidSolver&) = delete;
  RigidSolver& operator=(const RigidSolver&) = delete;

  const RigidBodies& bodies() const;
  int nelem() const;
  int ncell() const;

  // y = (I - A + P) x, the operator of the mobility equation.
  void apply(const double* x, double* y);

  // loads: (F_b, T_b about c_b), 6 per body; motion: (V_b at c_b, Omega_b).
  // density, when given, receives phi (3 nelem).
  SolveReport mobility(const double* loads, double* motion, std::vector<double>* density = nullptr);

  // The tractions t (3 nelem, interleaved by element; the force per area the
  // body exerts on the fluid, sum A t = F) of the bodies moving with
  // `motion`, by the first-kind equation with the velocities prescribed.
  SolveReport tractions(const double* motion, double* t);

  // Products of the mobility operator so far, and their wall-clock seconds.
  long products() const;
  double product_seconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
