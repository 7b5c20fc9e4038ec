// Building blocks of the rotation-based expansion translations: rotations of
// solid-harmonic expansions about the y axis and translations along the z
// axis, all acting on "real" expansions held in a half-order layout.
//
// Real expansions.  The expansions of real densities satisfy
//   X(n,-m) = (-1)^m conj X(n,m)                                       (*)
// (the moments are real combinations of R(n,m) and its gradient, and
// R(n,-m) = (-1)^m conj R(n,m)); then Im X(n,0) = 0 and the orders m >= 0
// determine everything.  Every translation maps such expansions to such
// expansions.
//
// Half layout.  Four expansions j = 1..4 of degree p side by side; entry
// (n,m), 0 <= m <= n <= p, at half_index(n,m) = n(n+1)/2 + m holds 8 doubles:
// Re X_1..X_4, then Im X_1..X_4.
//
// Working basis.  The kernels below act on half-layout vectors whose order-0
// entries are divided by sqrt(2): x(n,0) = X(n,0)/sqrt(2), x(n,m) = X(n,m)
// for m > 0.  The inner product sum_m X(m) conj Y(m) over all orders is then
// the plain dot product of these coordinates, up to the factor 2, so the
// transpose of a real matrix over all orders is the transpose of its blocks.
//
// Rotations about y.  With Ry(b)(x,y,z) = (x cos b + z sin b, y,
// -x sin b + z cos b), the regular harmonics of one degree transform among
// themselves with a real matrix A^n(b):
//   R(n,m)(Ry(b) v) = sum_{m'} A^n_{m m'}(b) R(n,m')(v).
// It is built degree by degree from the gradient relations
//   (d/dx - i d/dy) R(n,m) = R(n-1,m-1),  (d/dx + i d/dy) R(n,m) = -R(n-1,m+1),
//   d/dz R(n,m) = R(n-1,m),
// applied to both sides (the gradient of R(n,m)(Q v) is Q^T times the
// gradient at Q v).  With c = cos b, s = sin b and A^{n-1}_{k,.} = 0 for
// |k| > n-1:
//   A^n_{m,m'} = (s/2) A^{n-1}_{m-1,m'} - (s/2) A^{n-1}_{m+1,m'} + c A^{n-1}_{m,m'},  |m'| < n,
//   A^n_{m,n}  = ((1+c)/2) A^{n-1}_{m-1,n-1} + ((1-c)/2) A^{n-1}_{m+1,n-1} - s A^{n-1}_{m,n-1},
//   A^n_{m,-n} = ((1-c)/2) A^{n-1}_{m-1,1-n} + ((1+c)/2) A^{n-1}_{m+1,1-n} + s A^{n-1}_{m,1-n}.
// A real matrix that preserves (*) acts on the working basis through two
// real (n+1) x (n+1) blocks, for m, m' = 0..n:
//   Re y(m) = sum_{m'} P(m,m') Re x(m'),  Im y(m) = sum_{m'} Q(m,m') Im x(m'),
//   P(m,m') = A_{m,m'} + (-1)^{m'} A_{m,-m'},  Q(m,m') = A_{m,m'} - (-1)^{m'} A_{m,-m'}
//   for m, m' > 0;  P(0,0) = A_{0,0};  P(m,0) = sqrt(2) A_{m,0},
//   P(0,m') = sqrt(2) A_{0,m'};  Q(0,.) = Q(.,0) = 0.
// The transpose A^T, which also preserves (*), has the blocks P^T and Q^T.
// Storage: degree n at yrot_offset(n) = n(n+1)(2n+1)/3, pairs (P(m,m'), Q(m,m'))
// row by row; yrot_size(p) doubles for degrees 0..p.
//
// Small rotations.  A^n(e) = I + e J^n + O(e^2) with the generator
// J = z d/dx - x d/dz:  J R(n,m) = ((n-m+1) R(n,m-1) - (n+m+1) R(n,m+1)) / 2.
#pragma once

#include <complex>
#include <cstddef>

namespace velmora {

inline int half_index(int n, int m) {
  return n * (n + 1) / 2 + m;
}
// Doubles of one half-layout set of four expansions of degree p.
inline std::size_t half_size(int p) {
  return 4 * static_cast<std::size_t>(p + 1) * (p + 2);
}

inline std::size_t yrot_offset(int n) {
  return static_cast<std::size_t>(n) * (n + 1) * (2 * n + 1) / 3;
}
inline std::size_t yrot_size(int p) {
  return yrot_offset(p + 1);
}
// Scratch (elements of T) of yrotation_blocks.
inline std::size_t yrot_scratch_size(int p) {
  return 2 * static_cast<std::size_t>(2 * p + 1) * (2 * p + 1);
}

// The blocks of A^n(b), n = 0..p, for c = cos b and s = sin b, computed in
// the arithmetic of T (double or long double) and rounded to double.
template <class T>
void yrotation_blocks(int p, T c, T s, T* scratch, double* blocks);

// Working-basis vectors x, y (8 doubles per entry, half layout; distinct).
// y = A x and y = A^T x, degree by degree.
void rotate_half(int p, const double* blocks, const double* x, double* y);
void rotate_half_t(int p, const double* blocks, const double* x, double* y);
// The same rotation of two working-basis vectors at once, in the pair
// layout: entry (n,m) at 16 half_index(n,m) holds Re of the first set's four
// expansions, Re of the second's, Im of the first's, Im of the second's.
// Each set gets the bits rotate_half and rotate_half_t give it alone.
void rotate_pair(int p, const double* blocks, const double* x, double* y);
void rotate_pair_t(int p, const double* blocks, const double* x, double* y);
// Set s (0 or 1) of a pair-layout vector: half_to_half, half_add_to_half,
// tilt_half and tilt_half_t on that set alone, with the same bits.
void half_to_pair(int p, const double* src, const double c[3], const double* ph, double* x,
                  int set);
void pair_add_to_half(int p, const double* y, int set, const double* ph, double* dst);
void tilt_pair(int p, double e, double* x, int set);
void tilt_pair_t(int p, double e, double* x, int set);
// x = (I + e J) x and x = (I + e J^T) x, in place.
void tilt_half(int p, double e, double* x);
void tilt_half_t(int p, double e, double* x);

// From and to one cell of expansions in ExpanView layout (complex, entry
// (j,m,n) at (j-1) + 4((m+p) + (2p+1)n)), with the phases e_m = ph[2m] +
// i ph[2m+1], m = 1..p:
//   x = working basis of (e_m X'(j,m,n)), orders m >= 0, Im X'(j,0,n) taken as 0,
//       X'(j) = X(j), j = 1..3, X'(4) = X(4) + c_x X(1) + c_y X(2) + c_z X(3);
//   dst(j,m,n) += e_m Y(n,m), dst(j,-m,n) += (-1)^m conj(e_m Y(n,m)), m > 0,
//       dst(j,0,n) += Y(n,0), Y the expansion of working-basis vector y.
void expansion_to_half(int p, const std::complex<double>* src, const double c[3], const double* ph,
                       double* x);
void half_add_to_expansion(int p, const double* y, const double* ph, std::complex<double>* dst);
// The same from and to a cell in the half layout (src, dst distinct from x, y).
void half_to_half(int p, const double* src, const double c[3], const double* ph, double* x);
void half_add_to_half(int p, const double* y, const double* ph, double* dst);

// Translations along +z by a distance r > 0 on working-basis vectors (they
// act on each order alone), y overwritten (y and x distinct).
// Multipole to local, Sbar(k,0)(0,0,r) = k!/r^{k+1}, Sbar(k,m) = 0 for m != 0:
//   Y(n,m) = (-1)^n sum_{n'=m..p} Sbar(n+n',0) X(n',-m)
//          = (-1)^{n+m} sum_{n'} (n+n')!/r^{n+n'+1} conj X(n',m).
// f: scratch of 2p+1 doubles.
void zshift_m2l(int p, double r, const double* x, double* y, double* f);
// Two multipole-to-local shifts at once on a pair-layout vector (below),
// the first set by ra, the second by rb: each set gets the bits zshift_m2l
// gives it alone.  f: 64-byte aligned scratch of zshift_pair_scratch(p)
// doubles.
void zshift_m2l_pair(int p, double ra, double rb, const double* x, double* y, double* f);
inline std::size_t zshift_pair_scratch(int p) {
  return (2 * static_cast<std::size_t>(2 * p + 1) + 7) / 8 * 8 + 8 * static_cast<std::size_t>(2 * p + 1);
}
// Moment to moment, R(k,0)(0,0,r) = r^k/k!:  Y(n,m) = sum_{k=0..n-m} r^k/k! X(n-k,m).
// g: scratch of p+5 doubles.
void zshift_m2m(int p, double r, const double* x, double* y, double* g);
// Local to local:  Y(n,m) = sum_{n'=n..p} r^{n'-n}/(n'-n)! X(n',m).
void zshift_l2l(int p, double r, const double* x, double* y, double* g);

}  // namespace velmora
