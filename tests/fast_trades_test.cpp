// The fast path's trades (translation orders by offset length, near-field
// cache in single precision): their bound, their effect against the dense
// product, and determinism.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm/engine.hpp"
#include "fmm/expansion.hpp"
#include "fmm/m2l_order.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"

namespace velmora {
namespace {

using testing::FmmSetup;
using testing::make_model;
using testing::Model;
using testing::EngineRig;
using testing::max_rel_error;
using testing::uniform_vector;

EngineTrades all_trades() {
  EngineTrades t;
  t.m2l_order_by_distance = true;
  t.single_precision_near_cache = true;
  return t;
}

// The order rule keeps the shortest offsets at p, never exceeds p, falls
// with the distance, and gives every offset of an interaction list the
// lowest order whose model truncation (alpha/d)^(q+1) stays below f times
// that of the shortest offsets (alpha/2)^(p+1).
TEST(FastTrades, TranslationOrderIsTheLowestMeetingTheBound) {
  const M2LOrderModel model;
  for (int p : {4, 8, 12, 15, 16}) {
    EXPECT_EQ(m2l_order_for_distance(p, 2.0, model), p);
    const double limit = model.factor * std::pow(model.alpha / 2.0, p + 1);
    int prev = p;
    int lowered = 0;
    // The distances of the integer offsets with max(|i|,|j|,|k|) of 2 or 3.
    for (int s = 4; s <= 27; ++s) {
      if (s == 7 || s == 15 || s == 23) continue;  // not sums of three squares
      const double d = std::sqrt(static_cast<double>(s));
      const int q = m2l_order_for_distance(p, d, model);
      ASSERT_LE(q, p);
      ASSERT_GE(q, 0);
      EXPECT_LE(q, prev) << "p " << p << " d " << d;
      prev = q;
      if (q < p) {
        ++lowered;
        EXPECT_LE(std::pow(model.alpha / d, q + 1), limit * (1 + 1e-12)) << p << " " << d;
        EXPECT_GT(std::pow(model.alpha / d, q), limit) << "not the lowest: p " << p << " d " << d;
      }
    }
    EXPECT_GT(lowered, 0) << "p " << p;
  }
}

// Against the dense product (every pair through the exact integrals), the
// product with the trades stays within 1.2 times the exact path's error
// (the bound the trades are held to), in mode 0 (near field integrated)
// and in mode 1 from the single-precision cache; and the trades do lower
// some translation orders on these trees.
TEST(FastTrades, ErrorAgainstDenseStaysNearTheExactPath) {
  struct Case {
    const char* name;
    SurfaceMesh mesh;
  };
  std::vector<Case> cases;
  cases.push_back({"sphere", icosphere(3, 1.0)});
  cases.push_back({"ellipsoid", ellipsoid(3, 2.0, 1.0, 0.8)});
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const Model m = make_model(cases[c].mesh, 0.7, 500 + c);
    const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
    const std::vector<double> x = uniform_vector(ndof, 600 + c);
    testing::NearStore ns(m.mesh.nelem);
    std::vector<double> dense[2] = {std::vector<double>(ndof, 0.0), std::vector<double>(ndof, 0.0)};
    testing::dense_apply(m.view(), m.mu, 1e-10, ns.view(), 0, nullptr, dense[0].data());
    testing::dense_apply(m.view(), m.mu, 1e-10, ns.view(), 1, x.data(), dense[1].data());
    for (int p : {8, 12}) {
      FmmSetup f(m, 16, p);
      EngineRig exact(m, f), fast(m, f, Translations::Rotation, all_trades());
      const std::vector<std::int64_t> orders = fast.engine.m2l_orders();
      EXPECT_LT(orders[p], fast.engine.m2l_pairs()) << cases[c].name << " p " << p;
      exact.engine.enable_near_cache();
      fast.engine.enable_near_cache();
      for (int mode = 0; mode <= 1; ++mode) {
        std::vector<double> ye(ndof, 0.0), yf(ndof, 0.0);
        for (int rep = 0; rep <= mode; ++rep) {  // mode 1: the second product, from the cache
          std::fill(ye.begin(), ye.end(), 0.0);
          std::fill(yf.begin(), yf.end(), 0.0);
          exact.engine.apply(mode, x.data(), ye.data());
          fast.engine.apply(mode, x.data(), yf.data());
        }
        const double ee = max_rel_error(ye, dense[mode]), ef = max_rel_error(yf, dense[mode]);
        std::printf("  %-9s p %2d mode %d  exact %.3e  trades %.3e  (%.3f)\n", cases[c].name, p,
                    mode, ee, ef, ef / ee);
        EXPECT_LE(ef, 1.2 * ee) << cases[c].name << " p " << p << " mode " << mode;
      }
      EXPECT_GT(fast.engine.timers().near_pairs_cached, 0);
    }
  }
}

// The single-precision cache changes each block entry by its rounding to
// 24 bits and nothing else: with the translations exact, a cached product
// differs from the integrated one, entry by entry, by at most
// 2^-24 sum_j |A_ij| |x_j| (A the dense operator, an upper bound of the
// near-field part).  It takes half the bytes of the double cache, and an
// extreme viscosity, whose Stokeslet entries would leave the range of
// single precision, keeps the double cache.
TEST(FastTrades, SinglePrecisionCacheDiffersByEntryRoundingOnly) {
  const Model m = make_model(icosphere(3, 1.0), 0.9, 77);
  FmmSetup f(m, 24, 6);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  EngineTrades single;
  single.single_precision_near_cache = true;
  EngineRig dbl(m, f), sgl(m, f, Translations::Rotation, single);
  EXPECT_EQ(2 * sgl.engine.near_cache_bytes(), dbl.engine.near_cache_bytes());
  sgl.engine.enable_near_cache();
  testing::NearStore ns(m.mesh.nelem);
  const std::vector<double> a = testing::dense_matrix(m.view(), m.mu, f.snaptol, ns.view());
  for (int rep = 0; rep < 2; ++rep) {
    const std::vector<double> x = uniform_vector(ndof, 90 + rep);
    std::vector<double> yi(ndof, 0.0), yc(ndof, 0.0);
    dbl.engine.apply(1, x.data(), yi.data());
    sgl.engine.apply(1, x.data(), yc.data());  // rep 0 integrates and fills
    double worst = 0.0;
    for (std::size_t i = 0; i < ndof; ++i) {
      double bound = 0.0;
      for (std::size_t j = 0; j < ndof; ++j) bound += std::abs(a[i + j * ndof] * x[j]);
      bound *= std::ldexp(1.0, -24) * (1 + 1e-9);
      if (rep == 0)
        EXPECT_EQ(yc[i], yi[i]) << i;
      else
        EXPECT_LE(std::abs(yc[i] - yi[i]), bound) << i;
      worst = std::max(worst, std::abs(yc[i] - yi[i]) / bound);
    }
    if (rep == 1) {
      EXPECT_GT(worst, 0.0);  // the cache is in use
      std::printf("  largest change / bound %.3f\n", worst);
    }
  }
  Model extreme = m;
  extreme.mu = 1e-300;
  EngineRig big(extreme, f, Translations::Rotation, single), big_exact(extreme, f);
  EXPECT_EQ(big.engine.near_cache_bytes(), big_exact.engine.near_cache_bytes());
}

// With the trades, products of both modes, integrated and from the cache,
// are the same bits with 1, 2 and 3 threads.
TEST(FastTrades, SameBitsForAnyThreadCount) {
  const int saved = omp_get_max_threads();
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 1.1, 31);
  FmmSetup f(m, 16, 12);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  const std::vector<double> x = uniform_vector(ndof, 32);
  std::vector<std::vector<double>> first;
  for (int threads : {1, 2, 3}) {
    omp_set_num_threads(threads);
    EngineRig rig(m, f, Translations::Rotation, all_trades());
    rig.engine.enable_near_cache();
    std::vector<std::vector<double>> out;
    for (int k = 0; k < 3; ++k) {
      std::vector<double> y(ndof, 0.0);
      rig.engine.apply(k == 0 ? 0 : 1, x.data(), y.data());
      out.push_back(y);
    }
    if (first.empty())
      first = out;
    else
      for (std::size_t k = 0; k < out.size(); ++k)
        EXPECT_EQ(out[k], first[k]) << "product " << k << " with " << threads << " threads";
  }
  omp_set_num_threads(saved);
}

}  // namespace
}  // namespace velmora
