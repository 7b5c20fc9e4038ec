#include "fmm/harmonics.hpp"

#include <cmath>

namespace velmora {

void regular_harmonics(int p, double x, double y, double z, Complex* rtab) {
  const RegularView<Complex> R(rtab, p);
  const Complex zero(0.0, 0.0);
  // Zero border: row -1 and every |m| > n.
  for (int m = -(p + 1); m <= p + 1; ++m) R(-1, m) = zero;
  for (int n = 0; n <= p; ++n) {
    for (int m = n + 1; m <= p + 1; ++m) {
      R(n, m) = zero;
      R(n, -m) = zero;
    }
  }

  const double r2 = x * x + y * y + z * z;
  const Complex half_xy(x / 2.0, y / 2.0);
  R(0, 0) = Complex(1.0, 0.0);
  for (int m = 0; m <= p; ++m) {
    // Up the column of order m; R(m-1,m) is the zero border.
    for (int n = m; n <= p - 1; ++n) {
      const double a = static_cast<double>(2 * n + 1) * z;
      const Complex& r0 = R(n, m);
      const Complex& r1 = R(n - 1, m);
      const double den = static_cast<double>((n + m + 1) * (n - m + 1));
      R(n + 1, m) =
          Complex((a * r0.real() - r2 * r1.real()) / den, (a * r0.imag() - r2 * r1.imag()) / den);
    }
    // Diagonal step.
    if (m < p) {
      const Complex t = cmul(R(m, m), half_xy);
      const double d = static_cast<double>(m + 1);
      R(m + 1, m + 1) = Complex(t.real() / d, t.imag() / d);
    }
  }
  // Negative orders.
  for (int n = 1; n <= p; ++n) {
    for (int m = 1; m <= n; ++m) {
      const Complex& v = R(n, m);
      R(n, -m) = (m % 2 == 0) ? Complex(v.real(), -v.imag()) : Complex(-v.real(), v.imag());
    }
  }
}

void regular_gradient(int p, const Complex* rtab, Complex* gtab) {
  const RegularView<const Complex> R(rtab, p);
  const GradientView<Complex> G(gtab, p);
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      const Complex& lo = R(n - 1, m - 1);
      const Complex& hi = R(n - 1, m + 1);
      G(1, n, m) = Complex((lo.real() - hi.real()) / 2.0, (lo.imag() - hi.imag()) / 2.0);
      // i (a + b) / 2 = (-(a+b).im / 2, (a+b).re / 2)
      G(2, n, m) = Complex(-((lo.imag() + hi.imag()) / 2.0), (lo.real() + hi.real()) / 2.0);
      G(3, n, m) = R(n - 1, m);
    }
  }
}

void irregular_harmonics(int p, double x, double y, double z, Complex* stab) {
  const IrregularView<Complex> S(stab, p);
  const int q = 2 * p;
  const double r2 = x * x + y * y + z * z;
  S(0, 0) = Complex(1.0 / std::sqrt(r2), 0.0);
  for (int m = 0; m <= q; ++m) {
    // Up the column of order m; Sbar(m-1,m) counts as zero.
    for (int n = m; n <= q - 1; ++n) {
      const double a = static_cast<double>(2 * n + 1) * z;
      const Complex& s0 = S(n, m);
      if (n == m) {
        S(n + 1, m) = Complex(a * s0.real() / r2, a * s0.imag() / r2);
      } else {
        const Complex& s1 = S(n - 1, m);
        const double b = static_cast<double>(n * n - m * m);
        S(n + 1, m) =
            Complex((a * s0.real() - b * s1.real()) / r2, (a * s0.imag() - b * s1.imag()) / r2);
      }
    }
    // Diagonal step.
    if (m < q) {
      const double c = static_cast<double>(2 * m + 1);
      const Complex t = cmul(Complex(c * x, -(c * y)), S(m, m));
      S(m + 1, m + 1) = Complex(t.real() / r2, t.imag() / r2);
    }
  }
  for (int n = 1; n <= q; ++n) {
    for (int m = 1; m <= n; ++m) {
      const Complex& v = S(n, m);
      S(n, -m) = (m % 2 == 0) ? Complex(v.real(), -v.imag()) : Complex(-v.real(), v.imag());
    }
  }
}

}  // namespace velmora
