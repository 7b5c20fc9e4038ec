// The threaded tall matrix-vector products of the Krylov basis: right
// against a long-double sum, and the same bits for any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <omp.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/blas.hpp"
#include "common/blas_tall.hpp"

namespace velmora {
namespace {

// Both products on a matrix of three full blocks and a part block, each
// entry against the sum in long double (to 1e-13 of the sum of magnitudes),
// with 1, 2 and 3 threads giving the same bits; a matrix of one block is
// one dgemv call (the same bits as it).
TEST(BlasTall, ProductsMatchLongDoubleSumsOnAnyThreadCount) {
  const int saved = omp_get_max_threads();
  const int m = 3 * blas::kTallBlock + 1234, n = 7;
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(m) * n), xc(m), xn(n), y0(m), z0(n);
  for (double& v : a) v = u(rng);
  for (double& v : xc) v = u(rng);
  for (double& v : xn) v = u(rng);
  for (double& v : y0) v = u(rng);
  for (double& v : z0) v = u(rng);
  std::vector<double> first_n, first_c;
  for (int threads : {1, 2, 3}) {
    omp_set_num_threads(threads);
    std::vector<double> y = y0, z = z0;
    blas::dgemv_tall('N', m, n, -0.5, a.data(), m, xn.data(), 2.0, y.data());
    blas::dgemv_tall('C', m, n, 1.5, a.data(), m, xc.data(), -1.0, z.data());
    if (first_n.empty()) {
      first_n = y;
      first_c = z;
      for (int i = 0; i < m; i += 997) {
        long double s = 2.0L * y0[i], mag = 2.0L * std::fabs(y0[i]);
        for (int j = 0; j < n; ++j) {
          const long double t = -0.5L * a[static_cast<std::size_t>(j) * m + i] * xn[j];
          s += t;
          mag += std::fabs(static_cast<double>(t));
        }
        EXPECT_NEAR(y[i], static_cast<double>(s), 1e-13 * static_cast<double>(mag)) << i;
      }
      for (int j = 0; j < n; ++j) {
        long double s = 0.0L, mag = 0.0L;
        for (int i = 0; i < m; ++i) {
          const long double t = static_cast<long double>(a[static_cast<std::size_t>(j) * m + i]) * xc[i];
          s += t;
          mag += std::fabs(static_cast<double>(t));
        }
        const long double want = -1.0L * z0[j] + 1.5L * s;
        EXPECT_NEAR(z[j], static_cast<double>(want), 1e-13 * static_cast<double>(1.5L * mag + 1)) << j;
      }
    } else {
      EXPECT_EQ(y, first_n) << threads << " threads";
      EXPECT_EQ(z, first_c) << threads << " threads";
    }
  }
  omp_set_num_threads(saved);
  // 'N': any piece of the rows (a process's share of GMRES's vectors, at
  // any offset and length) gets the whole product's bits.
  std::vector<double> whole(m, 0.0);
  blas::dgemv_tall('N', m, n, 1.0, a.data(), m, xn.data(), 0.0, whole.data());
  for (const auto& [r0, len] : std::vector<std::pair<int, int>>{{0, 7}, {3, 1000}, {513, 70001}, {m - 5, 5}}) {
    std::vector<double> piece(len, 0.0);
    blas::dgemv_tall('N', len, n, 1.0, a.data() + r0, m, xn.data(), 0.0, piece.data());
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + r0)) << r0 << " + " << len;
  }
  std::vector<double> piece(10, 0.0), again(10, 0.0);
  // axpy_rows likewise.
  for (int i = 0; i < 10; ++i) piece[i] = again[i] = whole[100 + i];
  blas::axpy_rows(10, -0.3, xc.data() + 100, piece.data());
  for (int i = 0; i < 10; ++i) again[i] += -0.3 * xc[100 + i];
  EXPECT_EQ(piece, again);
  // 'C', one block: the plain call's bits.
  const int small = 1000;
  std::vector<double> zs(n, 0.0), zp(n, 0.0);
  blas::dgemv_tall('C', small, n, 1.0, a.data(), m, xc.data(), 0.0, zs.data());
  blas::dgemv('C', small, n, 1.0, a.data(), m, xc.data(), 1, 0.0, zp.data(), 1);
  EXPECT_EQ(zs, zp);
}

}  // namespace
}  // namespace velmora
