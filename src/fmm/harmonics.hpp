// Complex solid harmonics of the multipole passes.
//
// Regular harmonics, for v = (x, y, z), r^2 = x^2 + y^2 + z^2:
//   R(n,m)(v) = r^n P_n^m(cos theta) e^{i m phi} / (n+m)!,   n = 0..p, |m| <= n,
// conjugate irregular harmonics:
//   Sbar(n,m)(v) = conj( (n-m)! P_n^m(cos theta) e^{i m phi} / r^{n+1} ),
// both with the associated Legendre functions taken without the
// Condon-Shortley phase, and R(n,-m) = (-1)^m conj R(n,m), likewise Sbar.
// They are the two halves of the expansion of the Laplace kernel:
//   1 / |x - y| = sum_{n>=0} sum_{|m|<=n} R(n,m)(y) Sbar(n,m)(x),  |y| < |x|.
//
// The values are produced by fixed recurrences (below, in the .cpp) so that
// every caller gets the same bits for the same point.
//
// Table layouts (all complex, storage supplied by the caller):
//   regular table   R(n,m) for n = -1..p, m = -(p+1)..p+1; every entry with
//                   |m| > n (the whole row n = -1 included) holds zero, so
//                   the neighbours R(n-1,m+-1) of the gradient are read
//                   without tests.  Size (2p+3)(p+2).
//   gradient table  dR(n,m)/dv_c for c = 1..3, m = -p..p, n = 0..p, c
//                   fastest; only |m| <= n is written.  Size 3(2p+1)(p+1).
//   irregular table Sbar(n,m) for n = 0..2p, m = -2p..2p; only |m| <= n is
//                   written.  Size (4p+1)(2p+2) (one spare degree).
#pragma once

#include <complex>
#include <cstddef>

namespace velmora {

using Complex = std::complex<double>;

inline std::ptrdiff_t regular_table_size(int p) {
  return static_cast<std::ptrdiff_t>(2 * p + 3) * (p + 2);
}
inline std::ptrdiff_t gradient_table_size(int p) {
  return 3 * static_cast<std::ptrdiff_t>(2 * p + 1) * (p + 1);
}
inline std::ptrdiff_t irregular_table_size(int p) {
  return static_cast<std::ptrdiff_t>(4 * p + 1) * (2 * p + 2);
}

// R(n,m), n = -1..p, m = -(p+1)..p+1.
template <class C>
class RegularView {
 public:
  RegularView(C* base, int p) : base_(base), p_(p) {}
  C& operator()(int n, int m) const {
    return base_[(m + p_ + 1) + static_cast<std::ptrdiff_t>(2 * p_ + 3) * (n + 1)];
  }
  // Address of R(n, -n); the orders of degree n follow contiguously.
  C* row(int n) const { return &(*this)(n, -n); }

 private:
  C* base_;
  int p_;
};

// dR(n,m)/dv_c, c = 1..3, m = -p..p, n = 0..p.
template <class C>
class GradientView {
 public:
  GradientView(C* base, int p) : base_(base), p_(p) {}
  C& operator()(int c, int n, int m) const {
    return base_[(c - 1) + 3 * ((m + p_) + static_cast<std::ptrdiff_t>(2 * p_ + 1) * n)];
  }

 private:
  C* base_;
  int p_;
};

// Sbar(n,m), n = 0..2p, m = -2p..2p.
template <class C>
class IrregularView {
 public:
  IrregularView(C* base, int p) : base_(base), p_(p) {}
  C& operator()(int n, int m) const {
    return base_[(m + 2 * p_) + static_cast<std::ptrdiff_t>(4 * p_ + 1) * n];
  }

 private:
  C* base_;
  int p_;
};

// Fills the regular table for v = (x, y, z) up to degree p.
//   R(0,0) = 1;
//   for m = 0..p: R(n+1,m) = ((2n+1) z R(n,m) - r^2 R(n-1,m)) / ((n+m+1)(n-m+1)),
//                 n = m..p-1, with R(m-1,m) = 0;
//                 then, for m < p, R(m+1,m+1) = R(m,m) (x/2 + i y/2) / (m+1);
//   R(n,-m) = (-1)^m conj R(n,m).
// The zero border (|m| > n, row -1) is rewritten on every call.
void regular_harmonics(int p, double x, double y, double z, Complex* rtab);

// Fills the gradient table from a regular table of the same p:
//   dR(n,m)/dx = (R(n-1,m-1) - R(n-1,m+1)) / 2
//   dR(n,m)/dy = i (R(n-1,m-1) + R(n-1,m+1)) / 2
//   dR(n,m)/dz = R(n-1,m)
void regular_gradient(int p, const Complex* rtab, Complex* gtab);

// Fills the irregular table for v = (x, y, z) up to degree 2p.
//   Sbar(0,0) = 1/r;
//   for m = 0..2p: Sbar(n+1,m) = ((2n+1) z Sbar(n,m) - (n^2 - m^2) Sbar(n-1,m)) / r^2,
//                  n = m..2p-1, with Sbar(m-1,m) = 0;
//                  then, for m < 2p, Sbar(m+1,m+1) = (2m+1) (x - i y) Sbar(m,m) / r^2;
//   Sbar(n,-m) = (-1)^m conj Sbar(n,m).
void irregular_harmonics(int p, double x, double y, double z, Complex* stab);

// Complex product (a.re b.re - a.im b.im, a.re b.im + a.im b.re), written
// out so that the passes do not depend on the library's handling of
// non-finite operands; the same formula the language uses for finite values.
inline Complex cmul(const Complex& a, const Complex& b) {
  return Complex(a.real() * b.real() - a.imag() * b.imag(),
                 a.real() * b.imag() + a.imag() * b.real());
}

}  // namespace velmora
