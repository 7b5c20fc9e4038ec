// Regular and irregular solid harmonics against their closed forms, the
// gradient against finite differences, and the addition theorem.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "fmm/harmonics.hpp"

namespace velmora {
namespace {

double factorial(int n) {
  double f = 1.0;
  for (int i = 2; i <= n; ++i) f *= i;
  return f;
}

struct Spherical {
  double r, ct, phi;
};

Spherical spherical(double x, double y, double z) {
  const double r = std::sqrt(x * x + y * y + z * z);
  return {r, z / r, std::atan2(y, x)};
}

// r^n P_n^m(cos theta) e^{i m phi} / (n+m)!, m >= 0, P without the
// Condon-Shortley phase (std::assoc_legendre carries none).
Complex regular_direct(int n, int m, double x, double y, double z) {
  const Spherical s = spherical(x, y, z);
  const double a = std::pow(s.r, n) * std::assoc_legendre(n, m, s.ct) / factorial(n + m);
  return std::polar(a, m * s.phi);
}

// conj((n-m)! P_n^m(cos theta) e^{i m phi} / r^{n+1}), m >= 0.
Complex irregular_direct(int n, int m, double x, double y, double z) {
  const Spherical s = spherical(x, y, z);
  const double a = factorial(n - m) * std::assoc_legendre(n, m, s.ct) / std::pow(s.r, n + 1);
  return std::polar(a, -m * s.phi);
}

std::vector<std::array<double, 3>> random_points(int count, double rmin, double rmax,
                                                 std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::uniform_real_distribution<double> u(rmin, rmax);
  std::vector<std::array<double, 3>> pts;
  for (int i = 0; i < count; ++i) {
    double v[3] = {g(rng), g(rng), g(rng)};
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double r = u(rng);
    pts.push_back({v[0] / len * r, v[1] / len * r, v[2] / len * r});
  }
  // Points on the axes and in the equatorial plane as well.
  pts.push_back({0.0, 0.0, 0.7});
  pts.push_back({0.0, 0.0, -1.3});
  pts.push_back({0.9, -0.4, 0.0});
  return pts;
}

// R(n,m) for m >= 0 equals the Legendre closed form; the zero border holds zeros.
TEST(Harmonics, RegularMatchesLegendreForm) {
  const int p = 14;
  std::vector<Complex> tab(regular_table_size(p));
  const RegularView<const Complex> R(tab.data(), p);
  for (const auto& v : random_points(40, 0.1, 3.0, 1)) {
    regular_harmonics(p, v[0], v[1], v[2], tab.data());
    const double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    for (int n = 0; n <= p; ++n) {
      for (int m = 0; m <= n; ++m) {
        // |P_n^m| <= sqrt((n+m)!/(n-m)!) bounds the size of R(n,m).
        const double scale = std::pow(r, n) / std::sqrt(factorial(n + m) * factorial(n - m));
        EXPECT_LE(std::abs(R(n, m) - regular_direct(n, m, v[0], v[1], v[2])),
                  1e-13 * (n + 1) * scale)
            << "n " << n << " m " << m;
        // Negative orders: (-1)^m conj.
        const Complex c = std::conj(R(n, m)) * (m % 2 ? -1.0 : 1.0);
        EXPECT_EQ(R(n, -m), c);
      }
      for (int m = n + 1; m <= p + 1; ++m) {
        EXPECT_EQ(R(n, m), Complex(0.0));
        EXPECT_EQ(R(n, -m), Complex(0.0));
      }
    }
    for (int m = -(p + 1); m <= p + 1; ++m) EXPECT_EQ(R(-1, m), Complex(0.0));
  }
}

// Sbar(n,m) up to degree 2p equals the conjugated Legendre closed form.
TEST(Harmonics, IrregularMatchesLegendreForm) {
  const int p = 8;  // degrees up to 16
  std::vector<Complex> tab(irregular_table_size(p));
  const IrregularView<const Complex> S(tab.data(), p);
  for (const auto& v : random_points(40, 0.3, 4.0, 2)) {
    irregular_harmonics(p, v[0], v[1], v[2], tab.data());
    const double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    for (int n = 0; n <= 2 * p; ++n) {
      for (int m = 0; m <= n; ++m) {
        const double scale = std::sqrt(factorial(n + m) * factorial(n - m)) / std::pow(r, n + 1);
        EXPECT_LE(std::abs(S(n, m) - irregular_direct(n, m, v[0], v[1], v[2])),
                  1e-13 * (n + 1) * scale)
            << "n " << n << " m " << m;
        EXPECT_EQ(S(n, -m), std::conj(S(n, m)) * (m % 2 ? -1.0 : 1.0));
      }
    }
  }
}

// The gradient table agrees with central differences of R (all orders, negative included).
TEST(Harmonics, GradientMatchesFiniteDifferences) {
  const int p = 10;
  std::vector<Complex> tab(regular_table_size(p)), grad(gradient_table_size(p)),
      plus(regular_table_size(p)), minus(regular_table_size(p));
  const GradientView<const Complex> G(grad.data(), p);
  const RegularView<const Complex> Rp(plus.data(), p), Rm(minus.data(), p);
  const double h = 1e-5;
  for (const auto& v : random_points(15, 0.5, 1.5, 3)) {
    regular_harmonics(p, v[0], v[1], v[2], tab.data());
    regular_gradient(p, tab.data(), grad.data());
    for (int c = 1; c <= 3; ++c) {
      double a[3] = {v[0], v[1], v[2]}, b[3] = {v[0], v[1], v[2]};
      a[c - 1] += h;
      b[c - 1] -= h;
      regular_harmonics(p, a[0], a[1], a[2], plus.data());
      regular_harmonics(p, b[0], b[1], b[2], minus.data());
      for (int n = 0; n <= p; ++n)
        for (int m = -n; m <= n; ++m) {
          const Complex fd = (Rp(n, m) - Rm(n, m)) / (2.0 * h);
          // Central differences: error ~ h^2 |R'''| plus rounding |R| eps / h.
          const double scale =
              1.0 / std::sqrt(factorial(n + std::abs(m)) * factorial(n - std::abs(m)));
          EXPECT_LE(std::abs(G(c, n, m) - fd), 1e-7 * (n + 1) * (n + 1) * scale)
              << "c " << c << " n " << n << " m " << m;
        }
    }
  }
}

// 1/|x - y| = sum_{n<=P} sum_m R(n,m)(y) Sbar(n,m)(x) up to the tail bound
// rho^{P+1} / ((1 - rho) |x|), rho = |y| / |x|.
TEST(Harmonics, AdditionTheoremReproducesLaplaceKernel) {
  const int pmax = 15;  // irregular table up to degree 30
  std::vector<Complex> rt(regular_table_size(2 * pmax)), st(irregular_table_size(pmax));
  const RegularView<const Complex> R(rt.data(), 2 * pmax);
  const IrregularView<const Complex> S(st.data(), pmax);
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> ratio(0.2, 0.7);
  const auto xs = random_points(20, 1.0, 3.0, 5);
  const auto dirs = random_points(20, 1.0, 1.0, 6);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const auto& x = xs[i];
    const double rx = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    const double rho = ratio(rng);
    const auto& d = dirs[i];
    const double dl = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const double y[3] = {d[0] / dl * rho * rx, d[1] / dl * rho * rx, d[2] / dl * rho * rx};
    irregular_harmonics(pmax, x[0], x[1], x[2], st.data());
    regular_harmonics(2 * pmax, y[0], y[1], y[2], rt.data());
    const double exact =
        1.0 / std::sqrt((x[0] - y[0]) * (x[0] - y[0]) + (x[1] - y[1]) * (x[1] - y[1]) +
                        (x[2] - y[2]) * (x[2] - y[2]));
    Complex sum = 0.0;
    for (int n = 0; n <= 2 * pmax; ++n) {
      for (int m = -n; m <= n; ++m) sum += R(n, m) * S(n, m);
      const double err = std::abs(sum - exact);
      const double bound = std::pow(rho, n + 1) / ((1.0 - rho) * rx) + 1e-14 * exact * (n + 1);
      EXPECT_LE(err, bound) << "degree " << n << " rho " << rho;
      EXPECT_LE(std::abs(sum.imag()), 1e-14 * exact * (n + 1));
    }
  }
}

}  // namespace
}  // namespace velmora
