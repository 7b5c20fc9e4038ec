#include "fmm/direct_translate.hpp"

#include "fmm/harmonics.hpp"

namespace velmora {
namespace {

// out = the cell `in` with its fourth expansion re-centred:
// X(4) + sign (d_x X(1) + d_y X(2) + d_z X(3)), sign = +1 or -1.
void recentre(int p, const Complex* in, const double d[3], double sign, Complex* out) {
  const ExpanView<const Complex> x(in, p);
  const ExpanView<Complex> y(out, p);
  const double dx = sign * d[0], dy = sign * d[1], dz = sign * d[2];
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      const Complex x1 = x(1, m, n, 1), x2 = x(2, m, n, 1), x3 = x(3, m, n, 1);
      const Complex x4 = x(4, m, n, 1);
      y(1, m, n, 1) = x1;
      y(2, m, n, 1) = x2;
      y(3, m, n, 1) = x3;
      y(4, m, n, 1) = Complex(x4.real() + dx * x1.real() + dy * x2.real() + dz * x3.real(),
                              x4.imag() + dx * x1.imag() + dy * x2.imag() + dz * x3.imag());
    }
  }
}

}  // namespace

void direct_m2l_add(int p, const Complex* M, const double xh[3], Complex* L, Complex* stab,
                    Complex* cell, double* acc) {
  irregular_harmonics(p, xh[0], xh[1], xh[2], stab);
  const IrregularView<const Complex> S(stab, p);
  const ExpanView<Complex> lam(L, p);
  const ExpanView<const Complex> mf(cell, p);
  recentre(p, M, xh, -1.0, cell);
  // For each degree n the partial sums of all orders m = -n..n advance
  // together: acc(k, m), k = 2(j-1) for the real and 2(j-1)+1 for the
  // imaginary part of expansion j.  Each partial sum still receives its
  // terms in the order n' = 0..p, m' = 0, -1, +1, ..., -n', +n'.  A term
  // Sbar M = (sr Mr - si Mi, sr Mi + si Mr) is added as sr X + si Y with
  // X = (Mr, Mi) and Y = (-Mi, Mr), the same operations and roundings.
  for (int n = 0; n <= p; ++n) {
    const int nm = 2 * n + 1;
    for (int i = 0; i < 8 * nm; ++i) acc[i] = 0.0;
    for (int np = 0; np <= p; ++np) {
      const Complex* srow = &S(n + np, 0);  // Sbar(n+np, q) = srow[q]
      for (int k = 0; k <= np; ++k) {
        for (int side = (k == 0 ? 1 : -1); side <= 1; side += 2) {
          const int mp = side * k;
          const Complex* mv = &mf(1, mp, np, 1);
          double xv[8], yv[8];
          for (int j = 0; j < 4; ++j) {
            xv[2 * j] = mv[j].real();
            xv[2 * j + 1] = mv[j].imag();
            yv[2 * j] = -mv[j].imag();
            yv[2 * j + 1] = mv[j].real();
          }
          const Complex* s = srow + mp - n;  // Sbar(n+np, m+mp) = s[m+n]
          for (int im = 0; im < nm; ++im) {
            const double sr = s[im].real(), si = s[im].imag();
            double* a = acc + 8 * im;
            for (int q = 0; q < 8; ++q) a[q] += sr * xv[q] + si * yv[q];
          }
        }
      }
    }
    const double sign = (n % 2 == 0) ? 1.0 : -1.0;
    for (int m = -n; m <= n; ++m) {
      Complex* out = &lam(1, m, n, 1);
      const double* a = acc + 8 * (m + n);
      for (int j = 0; j < 4; ++j)
        out[j] = Complex(out[j].real() + sign * a[2 * j], out[j].imag() + sign * a[2 * j + 1]);
    }
  }
}

void direct_m2m_add(int p, const Complex* Mc, const double d[3], Complex* Mp, Complex* rtab,
                    Complex* cell) {
  regular_harmonics(p, d[0], d[1], d[2], rtab);
  const RegularView<const Complex> R(rtab, p);
  const ExpanView<const Complex> mc(cell, p);
  const ExpanView<Complex> mp(Mp, p);
  recentre(p, Mc, d, 1.0, cell);
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      Complex acc[4];
      for (int j = 1; j <= 4; ++j) acc[j - 1] = mp(j, m, n, 1);
      for (int n1 = 0; n1 <= n; ++n1) {
        const int nn = n - n1;
        for (int m1 = -n1; m1 <= n1; ++m1) {
          const int mm = m - m1;
          if (mm < -nn || mm > nn) continue;
          const Complex& r = R(n1, m1);
          const Complex* src = &mc(1, mm, nn, 1);
          for (int j = 0; j < 4; ++j) acc[j] += cmul(r, src[j]);
        }
      }
      for (int j = 1; j <= 4; ++j) mp(j, m, n, 1) = acc[j - 1];
    }
  }
}

void direct_l2l_add(int p, const Complex* Lp, const double d[3], Complex* Lc, Complex* rtab,
                    Complex* cell) {
  regular_harmonics(p, d[0], d[1], d[2], rtab);
  const RegularView<const Complex> R(rtab, p);
  const ExpanView<const Complex> lp(cell, p);
  const ExpanView<Complex> lc(Lc, p);
  recentre(p, Lp, d, -1.0, cell);
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      Complex acc[4];
      for (int j = 1; j <= 4; ++j) acc[j - 1] = lc(j, m, n, 1);
      for (int np = n; np <= p; ++np) {
        const int dn = np - n;
        for (int mp = -np; mp <= np; ++mp) {
          const int dm = mp - m;
          if (dm < -dn || dm > dn) continue;
          const Complex& r = R(dn, dm);
          const Complex* src = &lp(1, mp, np, 1);
          for (int j = 0; j < 4; ++j) acc[j] += cmul(r, src[j]);
        }
      }
      for (int j = 1; j <= 4; ++j) lc(j, m, n, 1) = acc[j - 1];
    }
  }
}

}  // namespace velmora
