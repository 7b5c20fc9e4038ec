// Restarted GMRES by reverse communication.
//
// The solver never sees the matrix or the preconditioners.  It solves the
// preconditioned system P1*A*P2*y = P1*b, x = P2*y, and whenever it needs a
// product with A, P1 or P2, or a block of dot products, it returns to its
// caller with a request in ireq; the caller performs the operation inside the
// work array and calls gmres_drive again with the same arguments.
//
// Conventions of the argument lists:
//   - ictrl[8], rctrl[5], info[3], rinfo[2] and ireq[5] are plain arrays of
//     exactly that length; their entries are numbered from 1 in the comments
//     (ictrl(4) is ictrl[3]).
//   - Positions in WORK are 1-based: ireq(2) = 1 means WORK(1) = work[0].
//   - The state that survives between calls lives in a GmresState owned by
//     the caller; one state runs one solve at a time, and a solve runs until
//     the solver answers req_done.
//
// Controls (gmres_init gives the defaults in brackets):
//   ictrl(1) unit for errors, negative = 6 [6]
//   ictrl(2) unit for warnings, 0 = none [6]
//   ictrl(3) unit for the set-up summary and the convergence history, 0 = none [0]
//   ictrl(4) preconditioning: 0 none, 1 left, 2 right, 3 both [4, i.e. unset]
//   ictrl(5) orthogonalisation: 0 MGS, 1 iterative MGS, 2 CGS, 3 iterative CGS [0]
//   ictrl(6) initial guess: 0 x0 = 0, 1 supplied in WORK(1..NLOCAL) [0]
//   ictrl(7) maximum number of iterations over all cycles [-1, i.e. N]
//   ictrl(8) residual at restart: 1 true, 0 from the recurrence [1]
//   rctrl(1) tolerance on the preconditioned backward error [1e-5]
//   rctrl(2), rctrl(3) alpha, beta of alpha*||x|| + beta normalising the
//     unpreconditioned residual; both 0: ||b|| [0, 0]
//   rctrl(4), rctrl(5) the same for the preconditioned residual; both 0:
//     ||P1 b|| with left preconditioning, else ||b|| [0, 0]
// Results:
//   info(1) 0 converged, -1 N or NLOCAL < 1, -2 M < 1, -3 workspace too
//     small, -4 no convergence within ictrl(7) iterations, -5 undefined
//     preconditioner
//   info(2) iterations performed; info(3) workspace the requested M needs
//   rinfo(1), rinfo(2) backward errors of the preconditioned and the
//     unpreconditioned system at the returned x
//
// Layout of WORK (NL = NLOCAL): x at 1, b at NL+1, w at 2NL+1, r at 3NL+1,
// the basis V at 4NL+1 (M columns with the true residual at restart, M+1
// otherwise), then H ((M+1) x (M+1), its last column the rotated right-hand
// side g), y (M), xk (NL), sn (M), cs (M).
#pragma once

#include <cstdint>

namespace velmora {

// Request codes returned in ireq(1).
inline constexpr int req_done = 0;   // the solve has ended
inline constexpr int req_amul = 1;   // WORK(ireq(4)..) := A * WORK(ireq(2)..)
inline constexpr int req_lprec = 2;  // WORK(ireq(4)..) := P1 * WORK(ireq(2)..)
inline constexpr int req_rprec = 3;  // WORK(ireq(4)..) := P2 * WORK(ireq(2)..)
inline constexpr int req_dots = 4;   // WORK(ireq(4)+k-1) := V(:,k) . WORK(ireq(3)..),
                                     // k = 1..ireq(5), V(:,k) at ireq(2)+(k-1)*NLOCAL

// Progress of one solve between calls.
struct GmresState {
  // Driver: 0 when no solve is under way (the next call checks the controls).
  int first_call = 0;
  // A solve of several processes, each holding nlocal of the n unknowns
  // (its own, possibly none): the number of unknowns of all of them, n.  The
  // set-up then reports the sizes and the workspace of the whole problem,
  // those one process holding all of it would have, so that what a run
  // writes does not depend on the number of processes; its checks use its
  // own.  0: the run's nlocal.
  int whole_nlocal = 0;

  // Iteration: where the next call continues (0 starts a new solve).
  int resume_point = 0;
  int restart_true = 0;  // 1: the next restart recomputes the true residual
  int ncycles = 0;       // completed restart cycles
  int nbase = 0;         // Arnoldi steps made in the completed cycles
  int jstep = 0;         // current Arnoldi step of the cycle, 1..M
  int igs = 0;           // basis vector under projection (modified Gram-Schmidt)
  int npass = 0;         // orthogonalisation passes made for the current step
  int breakdown = 0;     // 1: the current step found an invariant Krylov space
  int xk_valid = 0;      // 1: xk holds the iterate of the current step
  double hsq = 0.0;      // squared norm of the projection coefficients of a pass
  double hn = 0.0;       // norm of the orthogonalised vector
  double beta = 0.0;     // norm of the residual a cycle starts from
  double bnorm = 0.0;    // ||b||
  double anorm = 0.0;    // alpha of the unpreconditioned normalisation
  double den_b = 0.0;    // beta of it, or ||b||
  double anormp = 0.0;   // alpha of the preconditioned normalisation
  double den_pb = 0.0;   // beta of it, or ||P1 b|| / ||b||
  double xnorm = 1.0;
  double rnorm_true = 0.0;  // ||b - A xk|| at the latest true-residual check
  double rnorm_pre = 0.0;   // |g(j+1)|, or ||P1 (b - A xk)|| after a check
  double be_arnoldi = 0.0;  // estimated backward error at the current step
  double be_true = 0.0;     // backward error from the true residual
};

// Work-array length that restart length m needs: m*(m+nlocal+5) + 5*nlocal + 1
// with the true residual at restart (ictrl(8) = 1), one more vector otherwise.
// Evaluated in 64 bits (saturating), so it never wraps.
std::int64_t gmres_lwork_min(std::int64_t m, std::int64_t nlocal, int ictrl8);

// Restart length that replaces m_requested when its work array does not fit
// in lwork (with nlocal = n): the largest m whose array fits, found from the
// positive root of m^2 + (n+5) m + 5n + 1 = lwork in single precision, one
// less with the recurrence residual (ictrl8 = 0), and lowered further while
// gmres_lwork_min(m, n, ictrl8) > lwork.  A result below 1 means no restart
// length fits.
int gmres_fitting_restart(int n, int lwork, int ictrl8, int m_requested);

// Default controls: ictrl = (6, 6, 0, 4, 0, 0, -1, 1), rctrl = (1e-5, 0, 0, 0, 0).
void gmres_init(int* ictrl, double* rctrl);

// One step of a solve.  The first call of a solve checks and corrects the
// controls (lowering m to n or to what fits in lwork, with warnings), reports
// fatal errors through info(1) with ireq(1) = req_done, and writes the set-up
// summary; every call then lays out work and resumes the iteration.
void gmres_drive(GmresState& state, int n, int nlocal, int& m, int lwork, double* work, int* ireq,
                 int* ictrl, double* rctrl, int* info, double* rinfo);

// The iteration proper, resumed at state.resume_point; the slices are the
// addresses of their first entries in WORK, x being WORK(1) (request
// positions are counted from it).  The iteration count runs on across
// restarts.  An exact breakdown (the new basis vector would be r/0) that does
// not end the solve ends the cycle at that step and restarts from its iterate
// with the true residual.
void gmres_iterate(GmresState& state, int nlocal, int m, const double* b, double* x, double* h,
                   double* r, double* w, double* v, double* y, double* xk, double* sn, double* cs,
                   int* ireq, const int* ictrl, const double* rctrl, int* info, double* rinfo);

}  // namespace velmora
