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

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "common/comm.hpp"
#include "fmm/congruent_blocks.hpp"
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

// How gmres_solve uses its preconditioner and x.
struct GmresChoices {
  // Right preconditioning, A M y = b, x = M y: the criterion is then the
  // true backward error ||b - A x|| / ||b|| (left: that of M (b - A x)).
  bool right = false;
  // x holds the initial guess on entry (else x0 = 0).
  bool guess = false;
};

// Restarted GMRES (iterative classical Gram-Schmidt, true residual at restart)
// on amul, preconditioned by prec when given (on the left unless `choices`
// says right).  x receives the solution.  A zero right-hand side gives x = 0
// without iterations.  `progress`, when given, is called before every
// product with the products done and the solver's latest backward-error
// estimate.
//
// `split`, when given: n is 3 nelem, amul and prec act on whole vectors in
// element order, and GMRES runs on its vectors in the tree's order with
// inner products leaf by leaf, exactly summed (solver/gmres_vectors.hpp).
// With a product share of several processes, each holds only its own
// elements' entries of GMRES's basis and gathers a whole vector for each
// request: the same bits for any number of processes and threads.
using SolveProgress = std::function<void(int products, double backward_error)>;
class ProductShare;
struct Tree;
struct GmresSplit {
  const Tree* tree = nullptr;
  int nelem = 0, maxl = 0, minlev = 0;
  const ProductShare* share = nullptr;  // null: one process's product
  const Comm* comm = nullptr;           // null: Comm::world()
};
SolveReport gmres_solve(int n, int restart, int maxit, double tol,
                        const std::function<void(const double*, double*)>& amul,
                        const std::function<void(const double*, double*)>* prec,
                        const double* b, double* x, const SolveProgress& progress = {},
                        GmresChoices choices = {}, const GmresSplit* split = nullptr);

class RigidSolver {
 public:
  // body[e-1] in 1..nbody, centres 3 per body (reference points inside the
  // bodies, where the point force and torque sit).  The mesh is copied.
  // The tree report of the build goes nowhere; fatal stops of the tree build
  // (maxdep or maxcel too small) raise StopRun with their line on the error
  // unit.
  RigidSolver(const SurfaceMesh& mesh, const int* body, int nbody, const double* centres,
              const RigidControls& ctl);
  // With several points per body for the point force and torque
  // (RigidBodies::point_first, point; the centres their means).
  RigidSolver(const SurfaceMesh& mesh, const int* body, int nbody, const double* centres,
              const RigidControls& ctl, const std::vector<int>& point_first,
              const std::vector<double>& points);
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

  // Bodies held still (fixed[b-1] != 0): their velocity and rotation are
  // zero and their loads are found.  For such a body the point force and
  // torque at c_b are unknowns, tied to the density by
  //   (F_b, T_b) = -K_b (V_b, Omega_b)[phi],  K_b = diag(6 pi mu R_b, 8 pi mu R_b^3),
  // R_b = sqrt(A_b / 4 pi), in place of the projection P (the completion
  // of Power and Miranda for the resistance problem, scaled so that its
  // eigenvalues on the rigid motions of a sphere are near one, like P's):
  //   (I - A + P_free) phi + S[K (V, Omega)[phi]]_fixed = s_free - g.
  // Changes the operator; set before solving.
  void set_fixed(const std::vector<char>& fixed);

  struct Outcome {
    SolveReport report;
    std::vector<double> motion;  // 6 per body at the centres; zero for fixed bodies
    std::vector<double> loads;   // 6 per body at the centres: given, or found (fixed bodies)
  };
  // The mobility problem with a surface velocity g (3 per element,
  // interleaved; null for none) that the disturbance flow has on the
  // surface beside each body's rigid motion: on body b
  //   u - u_inf = V_b + Omega_b x (x - c_b) + g,
  // g = u_slip - u_inf for a body with a prescribed slip in an ambient flow
  // u_inf.  Free bodies carry `loads` (entries of fixed bodies unread).
  // `guess`, when given, is the initial density (3 nelem), e.g. the last
  // solve's of a nearby configuration.
  Outcome solve(const double* loads, const double* surface_velocity,
                std::vector<double>* density = nullptr, const double* guess = nullptr);

  // The tractions t (3 nelem, interleaved by element; the force per area the
  // body exerts on the fluid, sum A t = F) of the bodies moving with
  // `motion`, by the first-kind equation with the velocities prescribed.
  SolveReport tractions(const double* motion, double* t);
  // The same with the surface velocity g added to the rigid motions.
  SolveReport tractions(const double* motion, const double* surface_velocity, double* t);
  // The velocities the last traction solve prescribed (3 nelem,
  // interleaved): the rigid motions plus g; empty before one.
  const std::vector<double>& prescribed_velocity() const;

  // Called before every product of the solves that follow (SolveProgress);
  // an empty function stops the calls.
  void set_progress(SolveProgress progress);

  // The dimension of the coarse space in use (rigid/coarse_space.hpp): 0
  // until a solve on a body with several points converged too slowly
  // without it; then six per piece, kept for the solves that follow.
  int coarse_dimension() const;

  // Near-field blocks shared by bodies that are rigid copies of one another
  // and carried from step to step (fmm/congruent_blocks.hpp).  Unless
  // templates were shared, the first product builds them for the classes of
  // alike bodies where they pay over `solves` solves of each body
  // (expect_solves, default 1: a suspension of copies; a run of time steps
  // expects one or two solves a step).  share_congruent_templates, before
  // the first solve, takes those of an earlier solver of the same bodies
  // (moved or not); congruent_templates gives those in use (null before
  // the first product).
  void expect_solves(int solves);
  void share_congruent_templates(std::shared_ptr<const CongruentTemplates> t);
  std::shared_ptr<const CongruentTemplates> congruent_templates() const;
  // Near-field pairs of the mobility operator taken from templates, and
  // integrated, so far.
  std::int64_t pairs_shared() const;
  std::int64_t pairs_integrated() const;

  // Splits every product of the solves that follow among the processes of
  // `comm` (fmm/product_share.hpp): each process forms its own elements'
  // entries and they are copied to all, so every process runs the same
  // solves with the one-process bits.  Every process must then make the
  // same calls, pairs_shared and pairs_integrated among them (they sum over
  // the processes).  Before the first solve.
  void distribute(const Comm& comm);
  // The mobility operator's split among the processes, for the console
  // (ProductShare::report; collective): empty unless distributed.
  std::vector<std::string> product_split_report();

  // Products of the mobility operator so far, and their wall-clock seconds.
  long products() const;
  double product_seconds() const;

 private:
  // GMRES on the mobility operator, with the coarse correction when it
  // pays: phi receives the density.
  // phi holds the initial guess when `guess`.
  SolveReport solve_operator(const double* b, double* phi, bool guess);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
