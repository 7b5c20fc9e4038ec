// Fast expansion translations of the multipole passes: multipole to local,
// moment to moment and local to local, each the same truncated operator as
// the direct double sums of the passes, applied in O(p^3) by
// rotate - translate along z - rotate back.
//
// Operators (degrees n <= p, |m| <= n, four expansions j = 1..4; one cell of
// ExpanView layout of order p: entry (j,m,n) at (j-1) + 4((m+p) + (2p+1)n)):
//   m2l_add: L(j,m,n) += (-1)^n sum_{n'<=p} sum_{m'} Sbar(n+n',m+m')(xhat) M'(j,m',n'),
//            M'(j) = M(j), j = 1..3, M'(4) = M(4) - xhat_x M(1) - xhat_y M(2) - xhat_z M(3),
//            xhat = c_B - c_F (target centre minus source centre);
//   m2m_add: Mp(j,m,n) += sum_{n1<=n} sum_{m1} R(n1,m1)(d) M'(j,m-m1,n-n1),
//            M'(4) = M(4) + d_x M(1) + d_y M(2) + d_z M(3), d = c_child - c_parent;
//   l2l_add: Lc(j,m,n) += sum_{n'=n..p} sum_{m'} R(n'-n,m'-m)(d) L'(j,m',n'),
//            L'(4) = L(4) - d_x L(1) - d_y L(2) - d_z L(3), d = c_child - c_parent;
// terms with an order outside the degree are absent.
//
// Method.  With u = v/|v| = (sin t cos f, sin t sin f, cos t) for the offset v,
// the rotation W = Ry(-t) Rz(-f) takes u to +z and acts on each degree by
// P = A(-t) diag(e^{-imf}) (R(n,m)(W v) = sum P_{mm'} R(n,m')(v), A of
// fmm/translate.hpp).  The rotational covariance of the harmonics gives
//   multipole to local  T(v) = P^T T_z(|v|) P,
//   moment to moment    U(v) = P^{-1} U_z(|v|) P,  P^{-1} = diag(e^{imf}) A(t),
//   local to local      U(v)^T = P^T U_z(|v|)^T P^{-T},
// where the z-axis operators couple only equal orders (O(p^3) in all).  The
// rotations are exact for every degree separately, so the truncated
// operators are reproduced exactly, up to rounding.
//
// Precomputed data.  Offsets between cells of one level are integer
// multiples of the cell size, and only the polar angle t needs a matrix (the
// azimuth enters through phases computed per call).  m2l_prepare tabulates
// A(-t) and A(+t) for the 49 polar angles of the offsets (i,j,k) with
// max(|i|,|j|,|k|) <= 3 that are not neighbours (the 316 multipole-to-local
// offsets; the 8 child offsets (+-1,+-1,+-1) share their angles).  An offset
// whose angle is within 1e-9 rad of a tabulated t0 (cell centres carry
// rounding) uses A(-t0) followed by the first-order rotation by the
// remainder e = t - t0, A(-t) = A(-t0)(I - e J) + O(e^2) (error below 1e-16
// relative for p <= 16); any other offset gets its matrices computed in the
// work array during the call.  The level does not matter: the scale enters
// through |v| only.
//
// Inputs and outputs are expansions of real densities, as all moments and
// local expansions of the passes are: X(j,-m,n) = (-1)^m conj X(j,m,n).  The
// operators read only the orders m >= 0 of their input (Im X(j,0,n) taken as
// zero) and add the result to both halves of the output, which therefore
// keeps that symmetry.  The *_general variants accept any complex input (two
// applications, on the real and imaginary parts in the sense of the symmetry).
//
// All operators are thread-safe (the operator is read only, the caller
// supplies the work array), deterministic, and allocate nothing.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace velmora {

using Complex = std::complex<double>;

struct M2LOperator {
  int p = -1;
  // Tabulated polar angles, ascending; for angle k the rotation blocks of
  // A(-theta[k]) start at blocks[2k * rot_size] and those of A(+theta[k]) at
  // blocks[(2k+1) * rot_size].
  std::vector<double> theta;
  std::vector<double> blocks;
  std::size_t rot_size = 0;
  // Bytes held: 8 * 2 * 49 * (p+1)(p+2)(2p+3)/3 (0.45 MB at p = 8, 1.3 MB at
  // p = 12, 2.8 MB at p = 16).
  std::size_t memory_bytes() const;
};

// Tabulates the rotation matrices for order p >= 0 (once per run).
void m2l_prepare(M2LOperator& op, int p);

// Complex entries of the work array that each call below needs (the general
// variants and pairs included): three cells of ExpanView layout, two
// half-layout and two pair-layout vectors and room for rotation matrices
// computed during a call; 63 KB at p = 8, 137 KB at p = 12, 246 KB at p = 16.
std::size_t m2l_work_size(int p);

void m2l_add(const M2LOperator& op, const Complex* M, const double xhat[3], Complex* L,
             Complex* work);
void m2m_add(const M2LOperator& op, const Complex* Mchild, const double d[3], Complex* Mparent,
             Complex* work);
void l2l_add(const M2LOperator& op, const Complex* Lparent, const double d[3], Complex* Lchild,
             Complex* work);

// The same operators on cells in the half layout (fmm/translate.hpp): the
// orders m >= 0 of expansions of real densities, entry (n,m), 0 <= m <= n <= p,
// at double 8(n(n+1)/2 + m) of the cell's 4(p+1)(p+2), holding Re X(1..4)
// then Im X(1..4).  Im X(n,0) is read as zero and only zero is added to it.  The results
// are the same bits as those of the full layout.
void m2l_add_half(const M2LOperator& op, const double* M, const double xhat[3], double* L,
                  Complex* work);
void m2m_add_half(const M2LOperator& op, const double* Mchild, const double d[3], double* Mparent,
                  Complex* work);
void l2l_add_half(const M2LOperator& op, const double* Lparent, const double d[3], double* Lchild,
                  Complex* work);

// L += T(xa) Ma, then L += T(xb) Mb (half layout), the bits of two calls of
// m2l_add_half; when both offsets have the same tabulated polar angle
// (m2l_angle_index) the two run side by side, sharing the rotation's
// coefficients (one 512-bit lane set where the instruction set has it).
void m2l_add_half_pair(const M2LOperator& op, const double* Ma, const double xa[3],
                       const double* Mb, const double xb[3], double* L, Complex* work);
// Origin-referred moments.  With a source's fourth expansion taken about a
// common origin o instead of its centre c_F,
//   S(4) = M(4) + (c_F - o) . M(1..3),  S(j) = M(j), j = 1..3,
// the multipole-to-local sum of a target B becomes
//   L(j) = sum_F T(x_F) S_F (j), j = 1..3,
//   L(4) = sum_F T(x_F) S_F (4) - (c_B - o) . L(1..3),
// so the correction M'(4) = M(4) - xhat . M(1..3) of every pair becomes one
// correction per target.  The *_origin calls translate S as it stands
// (otherwise the operators of m2l_add_half and m2l_add_half_pair), and
// refer_to_origin applies X(4) += sign (d . X(1..3)), the three products
// added one at a time in that order, to every entry of a half-layout cell:
// sign +1, d = c_F - o for S, and sign -1, d = c_B - o for the target.
void m2l_add_half_origin(const M2LOperator& op, const double* S, const double xhat[3], double* L,
                         Complex* work);
// The pair adds T(xa) Sa to La and T(xb) Sb to Lb (La and Lb may be one).
void m2l_add_half_pair_origin(const M2LOperator& op, const double* Sa, const double xa[3],
                              const double* Sb, const double xb[3], double* La, double* Lb,
                              Complex* work);
void refer_to_origin(int p, const double d[3], double sign, double* x);

// Index of the tabulated polar angle of offset v, or -1 when the operators
// compute its rotation during the call.
std::ptrdiff_t m2l_angle_index(const M2LOperator& op, const double v[3]);

// The same operators for expansions without the symmetry (twice the work).
void m2l_add_general(const M2LOperator& op, const Complex* M, const double xhat[3], Complex* L,
                     Complex* work);
void m2m_add_general(const M2LOperator& op, const Complex* Mchild, const double d[3],
                     Complex* Mparent, Complex* work);
void l2l_add_general(const M2LOperator& op, const Complex* Lparent, const double d[3],
                     Complex* Lchild, Complex* work);

}  // namespace velmora
