// Upward pass of the multipole operator: moments of every cell.
//
// For the densities of `mode` (see element_densities), the four moments of a
// cell B about its centre c_B are, with yhat = y - c_B over the cell's
// elements (Gauss rule gpt/gwt, weight W = gwt(q) * area), n the element
// normal, D = n . grad R(n,m)(yhat) and G = u . grad R(n,m)(yhat):
//   cmom(j,m,n,B) = sum W [ mu (u_j D + n_j G) - t_j R(n,m)(yhat) ],   j = 1..3
//   cmom(4,m,n,B) = sum W [ mu ((yhat.u) D + (n.yhat) G) - (yhat.t) R(n,m)(yhat) ]
// (double-layer moments of the velocities scaled by mu, single-layer moments
// of the tractions).  Leaves of levels >= 2 form them directly; every cell
// on levels 3 and deeper then adds its moments into its parent with the
// moment-to-moment translation (d = c_B - c_P):
//   cmom(j,m,n,P) += R(n1,m1)(d) M(j)                                 j = 1..3
//   cmom(4,m,n,P) += R(n1,m1)(d) [M(4) + d_x M(1) + d_y M(2) + d_z M(3)]
// with M = cmom(., m-m1, n-n1, B), loops n, m, n1, m1 ascending, terms added
// one by one.  Levels run from nlev up to 2, cells in increasing order.
//
// Stage 1 clears cmom (|m| <= n) for all cells 1..maxcel in an OpenMP loop
// with static schedule; everything else runs on the calling thread.  Cells
// on levels 0 and 1 keep zero moments.
#pragma once

#include "bem/mesh.hpp"
#include "fmm/passes.hpp"
#include "fmm/tree.hpp"

namespace velmora {

// mesh: ielem, xnode and bc are read (xcol is not).  cmom has room for
// maxcel cells of order p (ExpanView layout).  x (3 nelem) is read only when
// mode is 1.  scratch: rtab, gtab and mom1.  timers may be null.
void UPWRD(const MeshView& mesh, double mu, int minlev, int maxl, int maxcel, int p, int ngauss,
           const double* gwt, const double* gpt, const Tree& tree, const double* x, int mode,
           Complex* cmom, const FmmScratch& scratch, FmmTimers* timers = nullptr);

}  // namespace velmora
