// Exact sums and GMRES's block inner products: the same bits whatever the
// order of the terms and however they are split, and the exact value
// where double sums lose it.
#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "common/exact_sum.hpp"
#include "solver/block_dots.hpp"

namespace velmora {
namespace {

std::uint64_t bits(double x) {
  std::uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

// Terms of both signs over 600 binary orders, subnormals among them.
std::vector<double> wild_terms(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> m(-1.0, 1.0);
  std::uniform_int_distribution<int> e(-1074, -474);
  std::vector<double> x(static_cast<std::size_t>(n));
  for (double& v : x) v = std::ldexp(m(rng), e(rng) + 600 * (rng() % 2));
  return x;
}

TEST(ExactSum, ValuesAreExactWhereDoubleSumsLoseThem) {
  // Cancellations a double sum gets wrong, in every order.
  const double big = 1e308, tiny = std::ldexp(1.0, -1074);
  const std::vector<std::vector<double>> cases = {
      {big, 1.0, -big}, {1.0, 1e-300, -1.0}, {tiny, tiny, tiny}, {-3.5, 1e-20, 3.5, -1e-20, 2.0}};
  const double want[] = {1.0, 1e-300, 3 * tiny, 2.0};
  for (std::size_t c = 0; c < cases.size(); ++c) {
    std::vector<double> t = cases[c];
    std::sort(t.begin(), t.end());
    do {
      ExactSum s;
      for (double v : t) s.add(v);
      EXPECT_EQ(s.value(), want[c]) << "case " << c;
    } while (std::next_permutation(t.begin(), t.end()));
  }
  // A negative total, and one far below its terms.
  ExactSum s;
  s.add(-0.75);
  s.add(std::ldexp(1.0, -60));
  EXPECT_EQ(s.value(), -0.75 + std::ldexp(1.0, -60));
  // Against a long sum in quadruple precision (exact here: the terms lie
  // within 113 bits of one another): the value to the last bit or two.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  ExactSum r;
  __float128 q = 0;
  for (int i = 0; i < 100000; ++i) {
    const double v = std::ldexp(u(rng), static_cast<int>(rng() % 40));
    r.add(v);
    q += v;
  }
  const double ref = static_cast<double>(q);
  EXPECT_LE(std::fabs(r.value() - ref), 2.0 * std::fabs(std::nextafter(ref, 0.0) - ref));
}

TEST(ExactSum, OrderAndSplitsGiveTheSameBits) {
  std::vector<double> x = wild_terms(20000, 3);
  ExactSum forward;
  for (double v : x) forward.add(v);
  const std::uint64_t want = bits(forward.value());
  ASSERT_NE(forward.value(), 0.0);
  std::mt19937 rng(11);
  for (int trial = 0; trial < 3; ++trial) {
    std::shuffle(x.begin(), x.end(), rng);
    // In pieces merged as sums, and as integer digit sums (as processes do).
    ExactSum a, b, c;
    for (std::size_t i = 0; i < x.size(); ++i) (i % 3 == 0 ? a : i % 3 == 1 ? b : c).add(x[i]);
    ExactSum merged = a;
    merged.add(c);
    merged.add(b);
    EXPECT_EQ(bits(merged.value()), want);
    a.normalise();
    b.normalise();
    c.normalise();
    std::int64_t d[ExactSum::kDigits];
    for (int k = 0; k < ExactSum::kDigits; ++k) d[k] = a.digits()[k] + b.digits()[k] + c.digits()[k];
    ExactSum digits;
    digits.set_digits(d);
    EXPECT_EQ(bits(digits.value()), want);
  }
  // Non-finite terms dominate.
  ExactSum n;
  n.add(1.0);
  n.add(INFINITY);
  EXPECT_TRUE(std::isinf(n.value()));
}

// GMRES's inner products by leaf blocks: the same bits for 1 and 2 threads
// and each column's value within rounding of the plain sum.
TEST(BlockDots, SameBitsForAnyThreadsAndCloseToTheSum) {
  const int nl = 3001, count = 5;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> V(static_cast<std::size_t>(nl) * count), w(nl);
  for (double& v : V) v = u(rng);
  for (double& v : w) v = u(rng);
  std::vector<int> blocks = {0};
  while (blocks.back() < nl) blocks.push_back(std::min(nl, blocks.back() + 3 * (1 + static_cast<int>(rng() % 20))));
  std::vector<double> z1(count), z2(count);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  block_dots(nl, count, V.data(), nl, w.data(), blocks, z1.data());
  omp_set_num_threads(2);
  block_dots(nl, count, V.data(), nl, w.data(), blocks, z2.data());
  omp_set_num_threads(threads);
  for (int k = 0; k < count; ++k) {
    EXPECT_EQ(bits(z1[k]), bits(z2[k])) << k;
    long double s = 0;
    for (int i = 0; i < nl; ++i) s += static_cast<long double>(V[k * nl + i]) * w[i];
    EXPECT_NEAR(z1[k], static_cast<double>(s), 1e-13 * nl);
  }
}

}  // namespace
}  // namespace velmora
