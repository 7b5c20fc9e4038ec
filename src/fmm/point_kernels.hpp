// Vector kernels of the fast path for the work done point by point: the
// regular harmonics of one point, the moments of a leaf (Gauss points of its
// elements) and the evaluation of a local expansion at a collocation point.
//
// Padded table.  The harmonics R(n,m) of orders m >= 0 are held as two real
// arrays (real and imaginary parts) with rows n = -1..p of S = p + 3 entries
// for m = -1..p+1: entry (n,m) at (n+1) S + (m+1).  Row -1 and every m > n
// hold zero, and column m = -1 holds R(n,-1) = -conj R(n,1).  The three
// entries the gradient of R(n,m) reads,
//   dR(n,m)/dx = (R(n-1,m-1) - R(n-1,m+1)) / 2,
//   dR(n,m)/dy = i (R(n-1,m-1) + R(n-1,m+1)) / 2,
//   dR(n,m)/dz = R(n-1,m),
// then sit at the fixed offsets -S-1, -S+1 and -S of (n,m), so that loops
// over the table from entry (0,0) on run with unit stride and no tests
// (the neighbours of (0,0) are the zero row -1); entries of the padding
// produce values that are never used, or are multiplied by zero.  The
// arrays are rounded up to a multiple of 8 doubles (kept zero) so that the
// loops run over whole vectors.
//
// The recurrences are those of the passes, evaluated degree by degree
// (vectorised over the orders) with the divisions replaced by products with
// tabulated reciprocals; the values agree with regular_harmonics to
// rounding.
#pragma once

#include <cstddef>
#include <vector>

namespace velmora {

class PointKernels {
 public:
  explicit PointKernels(int p);

  int order() const { return p_; }
  // Row length and number of doubles of one padded array.
  int stride() const { return s_; }
  int size() const { return size_; }
  int index(int n, int m) const { return (n + 1) * s_ + (m + 1); }

  // R(n,m)(x, y, z), m >= 0, into the padded arrays re and im (size()).
  void harmonics(double x, double y, double z, double* re, double* im) const;

  // Moments of one Gauss point added to the padded accumulators
  // xr[j], xi[j] (j = 0..3, real and imaginary parts of expansion j+1):
  //   X_j += a_j (n . grad R) + b_j (u . grad R) + c_j R,
  // the gradients taken from the harmonics re, im of the point.  With
  // use_grad false only the c terms are added (a velocity of zero).
  void add_moments(const double* re, const double* im, const double nv[3], const double u[3],
                   const double a[4], const double b[4], const double c[4], bool use_grad,
                   double* const xr[4], double* const xi[4]) const;

  // Copies the padded accumulators xr[j], xi[j] (j = 0..3) into a
  // half-layout cell, overwriting it: entry (n,m), 0 <= m <= n <= p, at
  // doubles 8 (n(n+1)/2 + m) .. +7, Re X_1..X_4 then Im X_1..X_4.
  void store_half(const double* const xr[4], const double* const xi[4], double* cell) const;

  // Moments of up to kLanes points at once, for a density without velocity:
  // lane l holds point (x[l], y[l], z[l]) (relative to the cell centre) with
  // weights a[l] and b[l], and
  //   acc(j) += t_j sum_l a[l] R_l (j = 0..2),  acc(3) += sum_l b[l] R_l
  // for every R(n,m), 0 <= m <= n <= p, the lanes summed by one fixed tree
  // of pairwise sums.  acc holds, per entry (n,m) in half order
  // n(n+1)/2 + m, Re X_1..X_4 then Im X_1..X_4 (the half layout, plus one
  // spare entry): acc_size() doubles, 64-byte aligned, small enough to stay
  // in the first-level cache.  Unused lanes carry zero weights.  lane_sums
  // adds acc into a half-layout cell.
  static constexpr int kLanes = 8;
  std::size_t acc_size() const;
  void add_lane_moments(const double* x, const double* y, const double* z, const double* a,
                        const double* b, const double t[3], double* acc, double* rows) const;
  std::size_t rows_size() const;
  void lane_sums(const double* acc, double* cell) const;

  // sum over the table of Re[ L_i R + d_i R (L_4 - xh . L_(1..3)) ], i = 0..2,
  // for a local expansion given as padded arrays lr[j], li[j] that hold the
  // weights (1 for m = 0, 2 for m > 0, 0 in the padding) already multiplied
  // in.  The lanes of the sums are added in a fixed order.
  void evaluate(const double* re, const double* im, const double xh[3], const double* const lr[4],
                const double* const li[4], double out[3]) const;

 private:
  int p_, s_, size_;
  std::vector<double> inv_;    // 1 / ((n+m+1)(n-m+1)) at entry (n,m)
  std::vector<double> rcp_;    // 1 / (n+1) for the diagonal step to degree n+1
  std::vector<double> twon1_;  // 2n + 1
};

}  // namespace velmora
