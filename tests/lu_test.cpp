// Dense LU with partial pivoting: solves against known solutions, pivot order and zero pivots.
#include "solver/lu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace velmora {
namespace {

// Random non-symmetric systems with a known solution are solved to rounding, with and without transpose.
TEST(Lu, SolvesKnownSystems) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : {1, 2, 5, 17, 60}) {
    const int lda = n + 3;
    std::vector<double> a(lda * n), f(lda * n);
    for (auto& v : a) v = u(rng);
    std::vector<double> x(n), b(n, 0.0), bt(n, 0.0);
    for (auto& v : x) v = u(rng);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        b[i] += a[i + j * lda] * x[j];
        bt[j] += a[i + j * lda] * x[i];
      }
    f = a;
    std::vector<int> ipvt(n);
    int info = -1;
    lufact(f.data(), lda, n, ipvt.data(), info);
    EXPECT_EQ(info, 0);
    lusolv(f.data(), lda, n, ipvt.data(), b.data(), 0);
    lusolv(f.data(), lda, n, ipvt.data(), bt.data(), 1);
    for (int i = 0; i < n; ++i) {
      EXPECT_NEAR(b[i], x[i], 1e-11) << "n=" << n;
      EXPECT_NEAR(bt[i], x[i], 1e-11) << "n=" << n;
    }
  }
}

// The pivot is the first entry of largest magnitude; a zero column is reported by its index.
TEST(Lu, PivotChoiceAndZeroPivot) {
  // Column 1 = (1, -3, 3): |-3| and |3| tie, the first (row 2) wins.
  double a[9] = {1, -3, 3, 2, 1, 0, 0, 1, 4};
  int ipvt[3], info = -1;
  lufact(a, 3, 3, ipvt, info);
  EXPECT_EQ(ipvt[0], 2);
  EXPECT_EQ(ipvt[2], 3);
  EXPECT_EQ(info, 0);
  double z[4] = {0, 0, 1, 2};  // column 1 all zero
  lufact(z, 2, 2, ipvt, info);
  EXPECT_EQ(info, 1);
}

}  // namespace
}  // namespace velmora
