// Downward pass of the multipole operator: local expansions, near field and
// evaluation.  After UPWRD with the same mode it adds to y (3 nelem, entry
// 3(g-1)+i for component i at the collocation point of element g)
//   sum over all elements e of  integral_e (T_ij u_j - U_ij t_j) dS,
// with U_ij = (delta_ij / r + r_i r_j / r^3) / (8 pi mu) and
// T_ij = 3 r_i r_j (r.n) / (4 pi r^5): the near elements through TRIINT, all
// others through the expansions.  mode 0 gives the right-hand side b, mode 1
// the product A x.  The caller clears y.
//
// Levels 2..nlev in increasing order, cells in increasing order; for cell B
// on level l with parent P:
//  1. lists: scanning the cells Q of level l-1 adjacent to P (centre distance
//     squared strictly below (1.8 celsiz(l-1))^2): a leaf Q joins the
//     coarse-leaf list; otherwise its children ichild(Q,1..8) (0 skipped) join
//     the neighbour list when adjacent to B on level l, else the interaction
//     list.
//  2. multipole-to-local, with xhat = c_B - c_F for F in the interaction list:
//       L(j,m,n) += (-1)^n sum_{n'} sum_{m'} Sbar(n+n',m+m')(xhat) M(j,m',n'),
//     M(4) replaced by M(4) - xhat_x M(1) - xhat_y M(2) - xhat_z M(3); for each
//     (n,m) and F the sum runs n' = 0..p, m' = 0, -1, +1, -2, +2, ... into a
//     partial sum started at zero, which is then signed and added to L.  L is
//     then copied over cloc(.,.,.,B).
//  3. local-to-local (l >= 3), d = c_B - c_P:
//       cloc(j,m,n,B) += R(n'-n,m'-m)(d) L(j,m',n'),   L = cloc(.,.,.,P),
//     L(4) replaced by L(4) - d_x L(1) - d_y L(2) - d_z L(3); loops n, m, n', m'
//     ascending with |m'-m| <= n'-n, terms added one by one.
//  4. near-field lists: ltarg = B's elements; lsrc = the elements of the
//     coarse leaves, then, when B is a leaf, those of its neighbour list.
//  5. for each source e of lsrc: TRIINT(e, ltarg), then for each target g and
//     component i the six terms are added to y one by one in the order
//       x: -U12 t2 - U13 t3 + T11 u1 + T12 u2 + T13 u3 - U11 t1
//       y: -U12 t1 - U23 t3 + T21 u1 + T22 u2 + T23 u3 - U22 t2
//       z: -U13 t1 - U23 t2 + T31 u1 + T32 u2 + T33 u3 - U33 t3
//  6. at a leaf, for each element g (xhat = x_g - c_B), kappa = 1 / (8 pi mu):
//       y(3(g-1)+i) += kappa sum_{n, m ascending} Re[ cloc(i,m,n,B) R(n,m)(xhat)
//                      + d_i R(n,m)(xhat) (cloc(4) - xhat . cloc(1..3)) ].
// Leaves on levels 0 and 1, which only a tree built with minlev below 2 has,
// are not visited by the level loop; their elements take every element of
// the mesh as a near-field source (all level-1 cells are mutually adjacent),
// in ielord order, before the level loop.  With minlev >= 2 there are none.
// Everything runs on the calling thread; nothing is allocated.
#pragma once

#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "fmm/passes.hpp"
#include "fmm/tree.hpp"

namespace velmora {

// Near-field storage supplied by the caller: ltarg and lsrc with room for
// nelem + 1 integers (count first), the fifteen coefficient arrays and the
// TRIINT work arrays with nelem entries each.
struct NearField {
  int* ltarg = nullptr;
  int* lsrc = nullptr;
  NearCoef coef{};
  TriintWork work{};
};

// The three cell lists of one cell, at their geometric maxima on a grid of
// cubes.
struct CellLists {
  static constexpr int kMaxInteraction = 189;
  static constexpr int kMaxNeighbour = 27;
  static constexpr int kMaxCoarse = 26;
  int ninter = 0, nneigh = 0, ncoarse = 0;
  int inter[kMaxInteraction];
  int neigh[kMaxNeighbour];
  int coarse[kMaxCoarse];
};

// True when the squared distance between the centres of cells a and b is
// strictly less than (1.8 size)^2.
bool cells_adjacent(const Tree& tree, int a, int b, double size);

// Step 1 for cell b on level lev >= 1.  A tree whose lists would exceed the
// maxima above is inconsistent and raises std::logic_error.
void cell_lists(const Tree& tree, int b, int lev, int minlev, int maxl, CellLists& lists);

// mesh: ielem, xnode, xcol and bc are read.  cmom comes from UPWRD; cloc has
// room for maxcel cells of order p.  x (3 nelem) is read only when mode is 1.
// scratch: all five arrays.  timers may be null.
void DNWRD(const MeshView& mesh, double mu, int minlev, int maxl, int maxcel, int p, int mode,
           const Tree& tree, const Complex* cmom, const double* x, double snaptol, Complex* cloc,
           const NearField& near, const FmmScratch& scratch, double* y,
           FmmTimers* timers = nullptr);

}  // namespace velmora
