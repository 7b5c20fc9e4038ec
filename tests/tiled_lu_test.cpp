// Single-precision tiled LU of the coarse matrix: solves against a double
// reference, pivots where the diagonal is small, the same bits for any
// thread count, and reports a singular or non-finite matrix.
#include "solver/tiled_lu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
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

// The layout of the factors over processes: every column is stored by
// exactly one process, tiles dealt out cyclically, and each process's
// columns fill its storage 0 .. local_columns - 1 once each, a tile's
// columns contiguous and in order.
TEST(TiledLU, ProcessesStoreEachColumnOnceInTheirOwnTilesOrder) {
  const int k = TiledLU::kTile;
  for (const int n : {1, k - 1, k, 2 * k + 77, 5 * k}) {
    for (int np = 1; np <= 4; ++np) {
      std::size_t total = 0;
      for (int me = 0; me < np; ++me) {
        const std::size_t cols = TiledLU::local_columns(n, np, me);
        total += cols;
        std::vector<int> seen(cols, 0);
        for (int c = 0; c < n; ++c) {
          ASSERT_EQ(TiledLU::owner(c, np), (c / k) % np);
          if (TiledLU::owner(c, np) != me) continue;
          const std::size_t l = TiledLU::local_column(c, np);
          ASSERT_LT(l, cols) << n << " " << np << " " << c;
          ++seen[l];
          if (c % k != 0) EXPECT_EQ(l, TiledLU::local_column(c - 1, np) + 1);
        }
        for (std::size_t l = 0; l < cols; ++l) EXPECT_EQ(seen[l], 1) << n << " " << np << " " << l;
      }
      EXPECT_EQ(total, static_cast<std::size_t>(n)) << n << " " << np;
    }
  }
  // One process stores A as it is.
  EXPECT_EQ(TiledLU::local_column(2 * k + 5, 1), static_cast<std::size_t>(2 * k + 5));
  // A storage of the wrong size is refused.
  TiledLU lu;
  EXPECT_THROW(lu.factor(4, std::vector<float>(15, 1.0f), 1), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
