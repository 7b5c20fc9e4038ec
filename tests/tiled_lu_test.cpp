// Single-precision tiled LU of the coarse matrix: solves against a double
// reference, pivots where the diagonal is small, the same bits for any
// thread count, and reports a singular or non-finite matrix.
#include "solver/tiled_lu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "solver/lu.hpp"

namespace velmora {
namespace {

// A matrix whose largest entry of each column lies off the diagonal (the
// diagonal alone would give a zero pivot), so every panel exchanges rows;
// n spans panels and tiles of unequal widths.
std::vector<double> test_matrix(int n) {
  std::mt19937 g(7);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(n) * n);
  for (auto& v : a) v = d(g);
  for (int j = 0; j < n; ++j) {
    a[j + static_cast<std::size_t>(j) * n] = 0.0;
    a[(j * 37 + 11) % n + static_cast<std::size_t>(j) * n] += 0.5 * std::sqrt(static_cast<double>(n));
  }
  return a;
}

TEST(TiledLU, SolvesLikeTheDoubleFactorsAndKeepsItsBitsOverThreads) {
  const int n = 2 * TiledLU::kTile + 77;  // 589: five panels, three tiles, none full at the end
  const std::vector<double> a = test_matrix(n);
  std::vector<double> b(n);
  for (int i = 0; i < n; ++i) b[i] = std::cos(0.1 * i);

  std::vector<double> f = a, x_ref = b;
  std::vector<int> ipvt(n);
  int info = 0;
  lufact(f.data(), n, n, ipvt.data(), info);
  ASSERT_EQ(info, 0);
  lusolv(f.data(), n, n, ipvt.data(), x_ref.data(), 0);

  std::vector<float> af(a.begin(), a.end());
  std::vector<double> first;
  for (int threads : {1, 2, 3}) {
    TiledLU lu;
    ASSERT_TRUE(lu.factor(n, af, threads));
    std::vector<double> x = b;
    lu.solve(x.data());
    // Single-precision factors of a matrix rounded to single precision:
    // the error is a few n eps_f times the condition (here below 1e3).
    double err = 0.0, ref = 0.0;
    for (int i = 0; i < n; ++i) {
      err = std::max(err, std::fabs(x[i] - x_ref[i]));
      ref = std::max(ref, std::fabs(x_ref[i]));
    }
    EXPECT_LT(err / ref, 1e-3) << threads;
    EXPECT_GT(err / ref, 1e-12) << "single precision was expected to show";
    // The solve is linear in double precision: A^-1 (2b) = 2 A^-1 b exactly,
    // and A^-1 (b + c) = A^-1 b + A^-1 c to double rounding.
    std::vector<double> x2(n), c(n), xc(n), xbc(n);
    for (int i = 0; i < n; ++i) {
      x2[i] = 2.0 * b[i];
      c[i] = std::sin(0.37 * i);
      xc[i] = c[i];
      xbc[i] = b[i] + c[i];
    }
    lu.solve(x2.data());
    lu.solve(xc.data());
    lu.solve(xbc.data());
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(x2[i], 2.0 * x[i]);
      EXPECT_NEAR(xbc[i], x[i] + xc[i], 1e-12 * ref);
    }
    if (first.empty())
      first = x;
    else
      EXPECT_EQ(std::memcmp(first.data(), x.data(), sizeof(double) * n), 0) << threads;
  }

  // A column of zeros: a zero pivot is reported.
  std::vector<float> s = af;
  for (int i = 0; i < n; ++i) s[i + static_cast<std::size_t>(300) * n] = 0.0f;
  TiledLU singular;
  EXPECT_FALSE(singular.factor(n, s, 2));
  // So is an entry beyond single precision's range.
  s = af;
  s[5] = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(singular.factor(n, s, 2));
}

}  // namespace
}  // namespace velmora
