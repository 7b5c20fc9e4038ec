// Coarse correction of the mobility operator I - A + P on piecewise rigid
// motions, for slender and thin bodies.
//
// On a slender body (a tube, a ring, a helix) a motion that is rigid on each
// piece a few thicknesses long and turns slowly along the body is nearly a
// rigid motion wherever the double layer sees it: (1/2 I - D) is small on
// it, and I - A + P has as many eigenvalues near zero as the body is long in
// thicknesses, which P (rigid on the whole body only) does not lift.
// Restarted GMRES stalls on them: gmsh-doc's pipe (two helical tubes 0.2
// across, 2,808 elements) did not converge in 600 iterations.
//
// The coarse space Z holds, for every body with several interior points
// (RigidBodies::point_first), the six rigid motions of each of its pieces
// about the piece's centroid: a piece is the elements whose collocation
// point lies nearest to the same one of the body's first kMaxPieces points
// (farthest-point samples, so evenly spread).  The columns are orthonormal
// in the area-weighted inner product <a, b> = sum_e A_e a_e . b_e and each
// is supported on one piece.  With the coarse matrix E = Z^T W Aop Z (one
// product of the operator per column) the preconditioner is
//     M x = x - Z Z^T W x + Z E^-1 Z^T W x,
// the inverse of Aop on span Z (Galerkin) and the identity on its
// W-orthogonal complement, applied on the right (A M y = b, x = M y) so
// that GMRES still measures the true residual.  Measured on the pipe: 39
// iterations after 354 products for E.
#pragma once

#include <functional>
#include <vector>

#include "rigid/rigid_bodies.hpp"

namespace velmora {

class RigidCoarseSpace {
 public:
  static constexpr int kMaxPieces = 64;  // per body

  // The pieces of the bodies with several points (none: dimension() 0).
  explicit RigidCoarseSpace(const RigidBodies& rb);

  int pieces() const { return npiece_; }
  int dimension() const { return static_cast<int>(live_.size()); }

  // E from dimension() products y = Aop x; true when E is regular.
  bool factor(const std::function<void(const double*, double*)>& amul);
  bool factored() const { return factored_; }

  // y = M x (3 nelem each; y may not alias x).
  void apply(const double* x, double* y) const;

  // y += z_l, the l-th column kept (0 <= l < dimension()), and <z_l, x>.
  void add_column(int l, double* y) const;
  double inner(int l, const double* x) const;

 private:
  // w_j = <z_j, x> for the live columns.
  void project(const double* x, double* w) const;
  // y += sum_j c_j z_j.
  void add_columns(const double* c, double* y) const;

  int nelem_ = 0;
  int npiece_ = 0;
  std::vector<double> area_;
  std::vector<int> first_, elem_;  // piece p: elements elem_[first_[p] .. first_[p+1])
  std::vector<double> z_;          // column 6p+k on piece p: 3 per element of the piece
  std::vector<std::size_t> zoff_;  // start of column j in z_
  std::vector<int> live_;          // columns kept by the orthonormalisation
  std::vector<double> lu_;         // E's factors, column-major, dimension() squared
  std::vector<int> ipvt_;
  bool factored_ = false;
};

}  // namespace velmora
