// A multilevel preconditioner: the block-Jacobi leaves of FastPrecon followed
// by a coarse correction on one constant traction per leaf, whose problem is
// solved approximately by a second cycle over aggregates of leaves.
//
// Why.  On a first-kind (single-layer) operator the leaf blocks capture the
// oscillatory part of the spectrum, but a traction that is smooth over many
// leaves is amplified by B^-1 about as much as the body is larger than a
// leaf, so the iteration count grows with the mesh.  A coarse space of
// tractions constant over each leaf, solved well enough, removes those modes
// (on dense systems: 32 iterations to 12 at 5,120 triangles).
//
// Conventions (those of the operator, src/bem/triint.hpp): on a component
// with prescribed velocity the column of A is minus the single layer,
// -int U_ij, with U_ij(r) = (delta_ij / |r| + r_i r_j / |r|^3) / (8 pi mu)
// and r = target - source; traction-prescribed components (second kind) are
// not in the coarse space.  The operator the solver sees is A' = A + the
// rank-one augmentation of each closed body (bem/null_space.hpp), and the
// coarse operator includes its projection.
//
// The preconditioner, for a vector x (multiplicative: smoother first):
//   z1 = B^-1 x,   g1 = P1^T (x - A~ z1),   z = z1 + P1 y1,   y1 ~ A1^-1 g1,
// with P1 the prolongation from one traction per leaf (z_(k,i) += y_(a,i)
// for element k of leaf a and component i with prescribed velocity), A~ the
// approximation of A' below and A1 = P1^T A~ P1 the leaf-level operator.
// The leaf-level problem (one unknown per leaf and component, tens of
// thousands at a million triangles) is solved approximately over aggregates
// of leaves (tree cells), A2 = P2^T A1 P2 dense and factored once by LAPACK
// LU (OpenBLAS, on one thread): by default y1 = P2 A2^-1 P2^T g1, which is
// the plain two-level method with coarse space P1 P2; with leaf_cycle, by
// one cycle with the aggregate blocks D1 of A1 as smoother,
//   y' = D1^-1 g1,  y1 = y' + P2 A2^-1 P2^T (g1 - A1 y'),
//   y1 += D1^-1 (g1 - A1 y1).
// The cycle cut the iterations by a tenth at 20,000 and 100,000 triangles
// (maxl 60) but stalled GMRES at a million (maxl 30): as a stationary
// iteration it is not contractive on this operator (eight cycles diverge at
// 100,000), so it stays an option.
//
// A~, used only here:
//   - within a leaf: the exact block of B (so x - B z1 = 0 and g1 only needs
//     the off-leaf part);
//   - between different leaves a, b whose aggregates are near: the Stokeslet
//     between the leaves' centroids c_a, c_b (means of the collocation
//     points), regularised by the leaves' sizes (CoarseOptions::blob),
//     sum_(k in a, l in b) A~_kl,ij = -n_a,i U_ij(c_a - c_b) A_b,j,
//     n_a,i the elements of a with component i velocity-prescribed and A_b,j
//     the area of those of b with component j so;
//   - between leaves of aggregates farther apart than `separation` times the
//     sum of their radii: the same with the aggregates' centroids (so that
//     A2 needs one Stokeslet per such pair of aggregates);
//   - the augmentation, exactly.
// The coarse correction only needs A~ to be right in the smooth components;
// on dense systems the leaf-centroid Stokeslet costs a few iterations
// against the exact off-leaf blocks.
//
// Every sum runs in a fixed order and every thread writes only its own
// aggregates' entries, so the result is the same bits for any thread count.
#pragma once

#include <cstddef>
#include <memory>

#include "bem/null_space.hpp"
#include "common/comm.hpp"
#include "solver/fast_precon.hpp"
#include "solver/precon.hpp"

namespace velmora {

struct CoarseOptions {
  // Aggregates are tree cells: from the root, the cell with the most
  // elements is replaced by its children while it holds more than
  // aggregate_elements, is not a leaf and there stay at most max_aggregates
  // (A2 is dense: 3 max_aggregates unknowns, 8 (3 max_aggregates)^2 bytes).
  int aggregate_elements = 64;
  // 0: max_aggregates_for(the mesh's element count).
  int max_aggregates = 0;
  // Aggregates I, J are near (coupled leaf by leaf) when
  // |C_I - C_J| <= separation (rho_I + rho_J), rho the largest distance of
  // an element's collocation point from its aggregate's centroid.
  double separation = 1.0;
  // Between leaves a, b the Stokeslet is regularised, |r|^2 -> |r|^2 + e2
  // with e2 = blob (rho_a^2 + rho_b^2), rho a leaf's largest distance of a
  // collocation point from its centroid: a leaf is a patch, not a point, and
  // on thin bodies leaves of the two sides face each other closely.  Without
  // it gmsh's pipe demo stalled at 1e-5 (600 iterations; 221 without the
  // coarse correction), with 0.5 it takes 122.
  double blob = 0.5;
  // Solve the leaf-level problem by the cycle with D1 (true), or take
  // y1 = P2 A2^-1 P2^T g1, the aggregates' correction alone (false).
  bool leaf_cycle = false;
  // The coarse space P2 (without the cycle).  Constants: one traction per
  // aggregate and component.  Linear: per support and component, the
  // functions 1 and the coordinates of the leaves' centroids about the
  // support's centroid, orthonormalised over its leaves (weights: their
  // velocity-prescribed element counts) and kept while their remaining norm
  // exceeds linear_keep (so a flat support keeps 1 and its two in-plane
  // coordinates).  The supports are tree cells found as the aggregates are,
  // with the cap max_supports (0: max_aggregates_for(nelem) / 3); they are
  // unions of aggregates, and A~ stays the aggregates' (A2 = P2^T A1 P2 with
  // A1 as above), so a correction costs what it costs with constants.
  enum class Basis { kConstant, kLinear };
  Basis basis = Basis::kConstant;
  int max_supports = 0;
  double linear_keep = 0.1;
};

// The default cap on the aggregates: 2048 (nelem / 250,000)^0.8, within
// [2048, 8192].  More aggregates cut the iterations while A2's factorisation
// grows as their cube (tiled_lu.hpp).  On a translating sphere of 1,003,520
// triangles, back to back: 4,096 aggregates took 31 iterations and 252.0 s
// (factored in 5.5 s), 6,144 took 26 and 232.9 s (about 18 s); at 100,820
// triangles 4,096 took 21 -> 19 iterations but 7 s more to build, a loss.
// The products' cost grows with nelem, so the cap grows with it, more
// slowly than the factorisation's cost.
int max_aggregates_for(int nelem);

class TwoLevelPrecon {
 public:
  // From the state of the smoother (mesh, mu, tree, maxl, minlev), the
  // smoother itself (which must not have filled its factor cache yet: the
  // coarse operator takes the leaf blocks' sums from its first application)
  // and the closed bodies' augmentation (null: none).  All must outlive this
  // object.
  TwoLevelPrecon(const PreconData& d, FastPrecon& smoother, const ClosedBodyNullSpace* null_space,
                 const CoarseOptions& options = CoarseOptions());
  ~TwoLevelPrecon();
  TwoLevelPrecon(const TwoLevelPrecon&) = delete;
  TwoLevelPrecon& operator=(const TwoLevelPrecon&) = delete;

  // z = z1 + P1 y1 as above.  The first call builds and factors D1 and A2.
  // When there is no coarse unknown, or a matrix is singular, z = z1.
  void apply(const double* x, double* z);

  // A run of several processes (common/comm.hpp): each forms the off-leaf
  // sums of a run of the aggregates, cut by their work, in every
  // correction, and the leaves' sums are copied to all; each sum is formed
  // by one process as one process alone forms it, so z keeps its bits.  The
  // rest of the correction (charges, the coarse solve, z's update) is
  // linear in the leaves or small, and every process does it.  Before the
  // first application; `comm` must outlive this object.
  void distribute(const Comm& comm);
  // After distribute and the smoother's distribute, for GMRES on split
  // vectors: apply() reads x and forms z on this process's leaves only (the
  // smoother's keep_own_entries); the leaves' charges of z1 (3 per leaf) are
  // gathered instead of z1.  The augmentation's inner products are added
  // exactly in every mode, so the bits do not depend on the mode or on P.
  void keep_own_entries();

  int leaves() const;
  int aggregates() const;
  // The linear space's supports (0 with constants), the support of
  // aggregate I, the count of functions of support S and component i
  // (0..4), and function k of component i at leaf a (its value, the same
  // for every element of the leaf).
  int supports() const;
  int support_of_aggregate(int I) const;
  int coarse_functions(int S, int i) const;
  double coarse_function(int a, int i, int k) const;
  // Aggregate (0-based) of leaf i of the smoother's leaf_cells().
  int aggregate_of_leaf(int i) const;
  // Unknowns of the leaf level and of the aggregate level.
  int leaf_unknowns() const;
  int coarse_unknowns() const;
  // After the first application: whether the coarse correction is applied.
  bool active() const;
  // Bytes of the factored matrices and of the leaf and aggregate data.
  std::size_t bytes() const;
  // Wall-clock seconds of building and factoring D1 and A2 (after the first
  // apply).
  double setup_seconds() const;
  // Wall-clock seconds of the corrections applied so far (the smoother's
  // not included).
  double correction_seconds() const;
  // Of which the solves with the coarse factors.
  double coarse_solve_seconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
