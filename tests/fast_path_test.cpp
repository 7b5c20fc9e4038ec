// The fast path of the multipole product (FmmEngine) and of the block
// preconditioner (FastPrecon) against the reference routines UPWRD + DNWRD
// and PRECON, and their caches against recomputation.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "bem/shapes.hpp"
#include "common/listread.hpp"
#include "common/units.hpp"
#include "fmm/engine.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"
#include "fmm/point_kernels.hpp"
#include "fmm_support.hpp"
#include "run/bemsol.hpp"
#include "run/program.hpp"
#include "run/registry.hpp"
#include "solver/fast_precon.hpp"
#include "solver/precon.hpp"

namespace velmora {
namespace {

using testing::FmmSetup;
using testing::make_model;
using testing::Model;
using testing::EngineRig;
using testing::max_rel_error;
using testing::uniform_vector;

// The padded harmonics of the point kernels equal those of the passes to
// rounding (relative 1e-14 of the largest of each degree), with the zero
// border and the column R(n,-1) = -conj R(n,1) in place, for p = 0..16.
TEST(FastPathKernels, PaddedHarmonicsMatchPasses) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int p = 0; p <= 16; ++p) {
    const PointKernels k(p);
    std::vector<double> re(k.size(), 7.0), im(k.size(), 7.0);
    std::vector<Complex> ref(regular_table_size(p));
    const RegularView<const Complex> R(ref.data(), p);
    for (int trial = 0; trial < 5; ++trial) {
      const double x = u(rng), y = u(rng), z = u(rng);
      k.harmonics(x, y, z, re.data(), im.data());
      regular_harmonics(p, x, y, z, ref.data());
      for (int n = -1; n <= p; ++n) {
        double scale = 0.0;
        for (int m = 0; m <= std::max(n, 0); ++m) scale = std::max(scale, std::abs(R(n, m)));
        for (int m = -1; m <= p + 1; ++m) {
          const int i = k.index(n, m);
          const Complex want = (n >= 0 && std::abs(m) <= n) ? R(n, m) : Complex(0.0, 0.0);
          ASSERT_LE(std::abs(Complex(re[i], im[i]) - want), 1e-14 * scale)
              << "p " << p << " n " << n << " m " << m;
        }
      }
    }
  }
}

// The point kernels read and write only inside their tables: with NaN
// around the arrays, the moments of a point and the evaluation of a local
// expansion stay finite and match the sums written out over all orders
// with the harmonics and gradients of the passes (relative 1e-13).
TEST(FastPathKernels, PointKernelsStayInsideTablesAndMatchDirectSums) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int p : {0, 1, 5, 12, 15}) {
    const PointKernels k(p);
    const int n = k.size(), guard = 64;
    // 10 arrays (re, im, 4 + 4 accumulators or expansion parts), each with NaN on both sides.
    std::vector<double> buf(10 * static_cast<std::size_t>(n + 2 * guard), nan);
    auto arr = [&](int a) {
      return buf.data() + static_cast<std::size_t>(a) * (n + 2 * guard) + guard;
    };
    double* re = arr(0);
    double* im = arr(1);
    double* xr[4] = {arr(2), arr(3), arr(4), arr(5)};
    double* xi[4] = {arr(6), arr(7), arr(8), arr(9)};
    const double v[3] = {0.3 * u(rng), 0.3 * u(rng), 0.3 * u(rng)};
    k.harmonics(v[0], v[1], v[2], re, im);
    std::vector<Complex> rt(regular_table_size(p)), gt(gradient_table_size(p));
    regular_harmonics(p, v[0], v[1], v[2], rt.data());
    regular_gradient(p, rt.data(), gt.data());
    const RegularView<const Complex> R(rt.data(), p);
    const GradientView<const Complex> G(gt.data(), p);

    // Moments: X_j += a_j n.grad R + b_j u.grad R + c_j R.
    for (int j = 0; j < 4; ++j) {
      std::fill(xr[j], xr[j] + n, 0.0);
      std::fill(xi[j], xi[j] + n, 0.0);
    }
    const double nv[3] = {0.48, -0.6, 0.64}, uv[3] = {u(rng), u(rng), u(rng)};
    const double a[4] = {u(rng), u(rng), u(rng), u(rng)}, b[4] = {u(rng), u(rng), u(rng), u(rng)},
                 c[4] = {u(rng), u(rng), u(rng), u(rng)};
    k.add_moments(re, im, nv, uv, a, b, c, true, xr, xi);
    for (int nn = 0; nn <= p; ++nn)
      for (int m = 0; m <= nn; ++m) {
        Complex dn(0.0), du(0.0);
        for (int q = 0; q < 3; ++q) {
          dn += nv[q] * G(q + 1, nn, m);
          du += uv[q] * G(q + 1, nn, m);
        }
        for (int j = 0; j < 4; ++j) {
          const Complex want = a[j] * dn + b[j] * du + c[j] * R(nn, m);
          const Complex got(xr[j][k.index(nn, m)], xi[j][k.index(nn, m)]);
          ASSERT_LE(std::abs(got - want), 1e-13 * (1.0 + std::abs(want)))
              << p << " " << nn << " " << m;
        }
      }

    // Evaluation of a symmetric expansion L(j,-m,n) = (-1)^m conj L(j,m,n),
    // stored with the weights 1 (m = 0) and 2 (m > 0).
    std::vector<Complex> lfull(4 * static_cast<std::size_t>(2 * p + 1) * (p + 1));
    const ExpanView<Complex> L(lfull.data(), p);
    for (int j = 0; j < 4; ++j) {
      std::fill(xr[j], xr[j] + n, 0.0);
      std::fill(xi[j], xi[j] + n, 0.0);
    }
    for (int nn = 0; nn <= p; ++nn)
      for (int m = 0; m <= nn; ++m)
        for (int j = 1; j <= 4; ++j) {
          const Complex val(u(rng), m == 0 ? 0.0 : u(rng));
          L(j, m, nn, 1) = val;
          L(j, -m, nn, 1) = (m % 2 == 0) ? std::conj(val) : -std::conj(val);
          const double w = m == 0 ? 1.0 : 2.0;
          xr[j - 1][k.index(nn, m)] = w * val.real();
          xi[j - 1][k.index(nn, m)] = w * val.imag();
        }
    const double* cr[4] = {xr[0], xr[1], xr[2], xr[3]};
    const double* ci[4] = {xi[0], xi[1], xi[2], xi[3]};
    double out[3];
    k.evaluate(re, im, v, cr, ci, out);
    for (int i = 0; i < 3; ++i) {
      double want = 0.0, scale = 0.0;
      for (int nn = 0; nn <= p; ++nn)
        for (int m = -nn; m <= nn; ++m) {
          const Complex br = L(4, m, nn, 1) - v[0] * L(1, m, nn, 1) - v[1] * L(2, m, nn, 1) -
                             v[2] * L(3, m, nn, 1);
          const Complex z = L(i + 1, m, nn, 1) * R(nn, m) + G(i + 1, nn, m) * br;
          want += z.real();
          scale += std::abs(z);
        }
      ASSERT_TRUE(std::isfinite(out[i])) << "p " << p;
      EXPECT_LE(std::abs(out[i] - want), 1e-13 * (1.0 + scale)) << "p " << p << " i " << i;
    }
  }
}

// The lane moments (eight points per vector, no velocity) match the sums of the passes'
// harmonics written out point by point: acc(j) = sum_l t_j a_l R_l, acc(3) = sum_l b_l R_l
// (relative 1e-13), for seven points and an unused lane, and add to what a cell holds.
TEST(FastPathKernels, LaneMomentsMatchPointSums) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int p : {0, 3, 15}) {
    const PointKernels k(p);
    constexpr int L = PointKernels::kLanes;
    std::vector<double> store(k.acc_size() + k.rows_size() + 8);
    double* acc = store.data() + ((64 - reinterpret_cast<std::uintptr_t>(store.data()) % 64) % 64) / 8;
    double* rows = acc + k.acc_size();
    std::fill(acc, acc + k.acc_size(), 0.0);
    alignas(64) double x[L] = {}, y[L] = {}, z[L] = {}, a[L] = {}, b[L] = {};
    for (int l = 0; l < 7; ++l) {
      x[l] = 0.3 * u(rng), y[l] = 0.3 * u(rng), z[l] = 0.3 * u(rng);
      a[l] = u(rng), b[l] = u(rng);
    }
    const double t[3] = {u(rng), u(rng), u(rng)};
    k.add_lane_moments(x, y, z, a, b, t, acc, rows);
    k.add_lane_moments(x, y, z, a, b, t, acc, rows);  // twice: the rows start afresh
    const int ne = (p + 1) * (p + 2) / 2;
    std::vector<double> cell(8 * static_cast<std::size_t>(ne), 1.0);
    k.lane_sums(acc, cell.data());
    std::vector<Complex> rt(regular_table_size(p));
    for (int n = 0; n <= p; ++n)
      for (int m = 0; m <= n; ++m) {
        Complex want[4] = {};
        for (int l = 0; l < 7; ++l) {
          regular_harmonics(p, x[l], y[l], z[l], rt.data());
          const Complex r = RegularView<const Complex>(rt.data(), p)(n, m);
          for (int j = 0; j < 3; ++j) want[j] += 2.0 * t[j] * a[l] * r;
          want[3] += 2.0 * b[l] * r;
        }
        const int e = n * (n + 1) / 2 + m;
        for (int j = 0; j < 4; ++j) {
          const Complex got(cell[8 * e + j] - 1.0, cell[8 * e + 4 + j] - 1.0);
          ASSERT_LE(std::abs(got - want[j]), 1e-13 * (1.0 + std::abs(want[j])))
              << p << " " << n << " " << m << " " << j;
        }
      }
  }
}

// Moments referred to a common origin give the multipole-to-local sum of moments about their
// own centres once the target's correction is made: for sources at lattice offsets, single
// and paired (one output and two), against m2l_add_half (relative 1e-13 of the largest entry).
TEST(FastPathKernels, OriginReferredMomentsGiveTheSameLocalExpansion) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int p = 12;
  M2LOperator op;
  m2l_prepare(op, p);
  std::vector<Complex> work(m2l_work_size(p));
  const std::size_t hs = 4 * static_cast<std::size_t>(p + 1) * (p + 2);
  const double o[3] = {0.3, -0.7, 0.2}, cb[3] = {1.25, 0.5, -0.75};
  const double h = 0.125;
  const int offs[4][3] = {{2, 0, 1}, {0, 2, 1}, {-3, 1, 0}, {1, -2, 3}};
  std::vector<double> direct(hs, 0.0), lone(hs, 0.0), lpair(hs, 0.0), lpb(hs, 0.0);
  std::vector<std::vector<double>> M(4, std::vector<double>(hs)), S(4);
  std::vector<std::array<double, 3>> xh(4);
  for (int f = 0; f < 4; ++f) {
    double cf[3];
    for (int c = 0; c < 3; ++c) {
      xh[f][c] = h * offs[f][c];
      cf[c] = cb[c] - xh[f][c];
    }
    for (int n = 0; n <= p; ++n)  // moments of real densities: Im X(n,0) = 0
      for (int m = 0; m <= n; ++m)
        for (int q = 0; q < 8; ++q)
          M[f][8 * (n * (n + 1) / 2 + m) + q] = (m == 0 && q >= 4) ? 0.0 : u(rng) / (1 + n);
    S[f] = M[f];
    const double d[3] = {cf[0] - o[0], cf[1] - o[1], cf[2] - o[2]};
    refer_to_origin(p, d, 1.0, S[f].data());
    m2l_add_half(op, M[f].data(), xh[f].data(), direct.data(), work.data());
    m2l_add_half_origin(op, S[f].data(), xh[f].data(), lone.data(), work.data());
  }
  m2l_add_half_pair_origin(op, S[0].data(), xh[0].data(), S[1].data(), xh[1].data(),
                           lpair.data(), lpair.data(), work.data());
  m2l_add_half_pair_origin(op, S[2].data(), xh[2].data(), S[3].data(), xh[3].data(),
                           lpair.data(), lpb.data(), work.data());
  for (std::size_t i = 0; i < hs; ++i) lpair[i] += lpb[i];
  const double d[3] = {cb[0] - o[0], cb[1] - o[1], cb[2] - o[2]};
  refer_to_origin(p, d, -1.0, lone.data());
  refer_to_origin(p, d, -1.0, lpair.data());
  double big = 0.0, e1 = 0.0, e2 = 0.0;
  for (std::size_t i = 0; i < hs; ++i) {
    big = std::max(big, std::abs(direct[i]));
    e1 = std::max(e1, std::abs(lone[i] - direct[i]));
    e2 = std::max(e2, std::abs(lpair[i] - direct[i]));
  }
  EXPECT_LE(e1, 1e-13 * big);
  EXPECT_LE(e2, 1e-13 * big);
}

// The product of the engine, with either translation routine, equals the
// reference passes to 1e-12 (relative, max norm) in both modes, on trees with
// coarse leaves, several levels and (minlev 1) leaves on level 1.
TEST(FastPath, ProductMatchesReferencePasses) {
  struct Case {
    const char* name;
    SurfaceMesh mesh;
    int maxl, p, minlev;
  };
  std::vector<Case> cases;
  cases.push_back({"sphere", icosphere(3, 1.0), 28, 8, 2});
  cases.push_back({"ellipsoid", ellipsoid(3, 2.0, 1.0, 0.8), 20, 12, 2});
  {
    SurfaceMesh two = icosphere(3, 1.0);
    const double corner[3] = {2.5, 2.5, 2.5};
    append_mesh(two, icosphere(1, 0.4, corner));
    cases.push_back({"two spheres, minlev 1", two, 100, 6, 1});
  }
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const Model m = make_model(cases[c].mesh, 0.7, 300 + c);
    FmmSetup f(m, cases[c].maxl, cases[c].p, cases[c].minlev);
    const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
    const std::vector<double> x = uniform_vector(ndof, 400 + c);
    for (int mode = 0; mode <= 1; ++mode) {
      std::vector<double> ref(ndof, 0.0);
      f.apply(m, mode, x.data(), ref.data());
      for (Translations k : {Translations::Direct, Translations::Rotation}) {
        EngineRig rig(m, f, k);
        std::vector<double> y(ndof, 0.0);
        rig.engine.apply(mode, x.data(), y.data());
        const double err = max_rel_error(y, ref);
        std::printf("  %-22s mode %d %-8s %.2e\n", cases[c].name, mode,
                    k == Translations::Direct ? "direct" : "rotation", err);
        EXPECT_LT(err, 1e-12) << cases[c].name << " mode " << mode << " kernels "
                              << (k == Translations::Direct ? "direct" : "rotation");
      }
    }
  }
}

// An engine of moments alone (what the flow at points of the fluid takes):
// the moments of densities given in full (mode 2, u then t) are the bits of
// mode 1 for the same densities, and UPWRD's moments of mode 2 to 1e-13 of
// the largest entry, on every cell of levels >= 2 (mixed boundary codes, so
// both densities are read); the same bits on 1 and 2 threads; such an
// engine takes no product.
TEST(FastPath, MomentsOfGivenDensitiesAreThoseOfThePasses) {
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 0.7, 77);
  FmmSetup f(m, 20, 10);
  const MeshView mv = m.view();
  const int ne = m.mesh.nelem, nc = f.ncell();
  const std::size_t ndof = 3 * static_cast<std::size_t>(ne);
  const std::vector<double> x = uniform_vector(ndof, 78);
  std::vector<double> ut(2 * ndof);
  for (int e = 1; e <= ne; ++e)
    element_densities(mv, e, 1, x.data(), &ut[3 * static_cast<std::size_t>(e - 1)],
                      &ut[ndof + 3 * static_cast<std::size_t>(e - 1)]);
  const Tree t = f.tree.view();
  UPWRD(mv, m.mu, f.minlev, f.maxl, nc, f.p, f.ngauss, f.gwt, f.gpt, t, ut.data(), 2,
        f.exp->cmom(), f.exp->scratch(), nullptr);
  const std::size_t hs = 4 * static_cast<std::size_t>(f.p + 1) * (f.p + 2);
  auto moments = [&](int mode, const double* v, int threads) {
    std::vector<double> h(hs * nc, 0.0);
    const int before = omp_get_max_threads();
    omp_set_num_threads(threads);
    FmmEngine eng(mv, t, EngineRig::params(m, f, {}), reinterpret_cast<Complex*>(h.data()),
                  nullptr, Translations::Rotation, EngineUse::Moments);
    omp_set_num_threads(before);
    eng.form_moments(mode, v);
    EXPECT_EQ(eng.moments(nc), h.data() + hs * (nc - 1));
    std::vector<double> y(ndof);
    EXPECT_THROW(eng.apply(1, x.data(), y.data()), std::logic_error);
    return h;
  };
  const std::vector<double> h2 = moments(2, ut.data(), 2), h1 = moments(1, x.data(), 2);
  EXPECT_EQ(h2, moments(2, ut.data(), 1));
  const ExpanView<Complex> ref(f.exp->cmom(), f.p);
  double big = 0.0, err = 0.0;
  int cells = 0;
  for (int lev = 2; lev <= *t.nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
      ++cells;
      for (std::size_t i = 0; i < hs; ++i)
        ASSERT_EQ(h2[hs * (c - 1) + i], h1[hs * (c - 1) + i]) << c << ' ' << i;
      for (int n = 0; n <= f.p; ++n)
        for (int mm = 0; mm <= n; ++mm)
          for (int j = 1; j <= 4; ++j) {
            const Complex r = ref(j, mm, n, c);
            const double* e8 = &h2[hs * (c - 1) + 8 * (n * (n + 1) / 2 + mm)];
            big = std::max(big, std::abs(r));
            err = std::max({err, std::fabs(e8[j - 1] - r.real()), std::fabs(e8[3 + j] - r.imag())});
          }
    }
  EXPECT_GT(cells, 50);
  EXPECT_LE(err, 1e-13 * big);
}

// With the near-field cache, the products after the first give the same
// values as integrating the near field again (the cached blocks add the same
// terms in the same order); mode 0 products keep integrating.
TEST(FastPath, NearFieldCacheReproducesIntegration) {
  const Model m = make_model(icosphere(3, 1.0), 1.3, 21);
  FmmSetup f(m, 24, 6);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  EngineRig plain(m, f, Translations::Rotation), cached(m, f, Translations::Rotation);
  cached.engine.enable_near_cache();
  EXPECT_GT(cached.engine.near_cache_bytes(), 0u);
  std::vector<double> b0(ndof, 0.0), b1(ndof, 0.0);
  plain.engine.apply(0, nullptr, b0.data());
  cached.engine.apply(0, nullptr, b1.data());  // fills the cache
  EXPECT_EQ(b0, b1);
  for (int rep = 0; rep < 2; ++rep) {
    const std::vector<double> x = uniform_vector(ndof, 50 + rep);
    std::vector<double> y0(ndof, 0.0), y1(ndof, 0.0);
    plain.engine.apply(1, x.data(), y0.data());
    cached.engine.apply(1, x.data(), y1.data());
    EXPECT_EQ(y0, y1) << "product " << rep;
  }
  EXPECT_GT(cached.engine.timers().near_pairs_cached, 0);
  std::vector<double> b2(ndof, 0.0);
  cached.engine.apply(0, nullptr, b2.data());
  EXPECT_EQ(b0, b2);
}

// A body with every velocity prescribed fills the cache in a mode 1 product
// from the Stokeslet alone (its velocity density is zero); the cached
// products give the bits of integration.
TEST(FastPath, NearFieldCacheOfVelocityBody) {
  Model m = make_model(icosphere(3, 1.0), 0.9, 5);
  const std::size_t ne = static_cast<std::size_t>(m.mesh.nelem);
  for (std::size_t i = 0; i < 3 * ne; ++i) m.bc[i] = 0.0;  // velocity prescribed
  FmmSetup f(m, 24, 6);
  EngineRig plain(m, f, Translations::Rotation), cached(m, f, Translations::Rotation);
  cached.engine.enable_near_cache();
  for (int rep = 0; rep < 3; ++rep) {
    const std::vector<double> x = uniform_vector(3 * ne, 80 + rep);
    std::vector<double> y0(3 * ne, 0.0), y1(3 * ne, 0.0);
    plain.engine.apply(1, x.data(), y0.data());
    cached.engine.apply(1, x.data(), y1.data());  // the first fills the cache
    EXPECT_EQ(y0, y1) << "product " << rep;
  }
  EXPECT_GT(cached.engine.timers().near_pairs_cached, 0);
}

// The fast preconditioner gives PRECON's bits, with and without its factor
// cache, and leaves the entries it does not own untouched.
TEST(FastPath, PreconditionerMatchesReference) {
  const Model m = make_model(ellipsoid(3, 1.5, 1.0, 0.7), 0.8, 12);
  FmmSetup f(m, 30, 4);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  testing::PreconStore store(m, f);
  const PreconData& d = store.data;
  FastPrecon plain(d), cached(d);
  cached.enable_factor_cache();
  EXPECT_GT(cached.factor_cache_bytes(), 0u);
  for (int rep = 0; rep < 3; ++rep) {
    const std::vector<double> x = uniform_vector(ndof, 70 + rep);
    std::vector<double> z0(ndof, 5.0), z1(ndof, 5.0), z2(ndof, 5.0);
    PRECON(x.data(), z0.data(), d);
    plain.apply(x.data(), z1.data());
    cached.apply(x.data(), z2.data());
    EXPECT_EQ(z0, z1) << "application " << rep;
    EXPECT_EQ(z0, z2) << "application " << rep;
  }
}

// What a solve leaves behind: the log and the solution vectors.
struct SolveResult {
  std::string log;
  std::vector<double> uvec, tvec;
};

// The start-up of the program and BEMSOL on the model files of `dir`, with
// the units on strings.
SolveResult solve_in(const std::string& dir, const SolveOptions& opt) {
  UnitsGuard guard;
  std::ostringstream console, log, dat_out, plt;
  units().set_console(&console);
  units().attach(6, &log);
  units().attach(7, &dat_out);
  units().attach(8, &plt);
  ListReader cnd, dat;
  EXPECT_TRUE(cnd.open(dir + "/input.cnd"));
  EXPECT_TRUE(dat.open(dir + "/input.dat"));
  RunScalars s;
  read_control(cnd, s);
  cnd.close();
  read_model_head(dat, s);
  check_parameters(s);
  Block a;
  register_variables(a, RunSizes{s.nelem, s.nnode, s.lwork, s.maxl, s.maxcel, s.maxdep, s.nexp});
  a.allocate();
  store_scalars(a, s);
  BEMSOL(a, dat, opt);
  SolveResult r;
  r.log = log.str();
  const double* u = a.var<double>(kVarUvec);
  const double* t = a.var<double>(kVarTvec);
  r.uvec.assign(u, u + 3 * s.nelem);
  r.tvec.assign(t, t + 3 * s.nelem);
  return r;
}

// The line of `text` that contains `key` ("" if none).
std::string line_with(const std::string& text, const std::string& key) {
  const auto at = text.find(key);
  if (at == std::string::npos) return "";
  const auto first = text.rfind('\n', at);
  const auto begin = first == std::string::npos ? 0 : first + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

// On the bundled examples the exact fast path (with its caches, without the
// trades and the coarse correction) and the reference routines take the same number of GMRES
// iterations, and their solutions agree far inside the solver's tolerance
// (1e-6): the products differ by rounding only, which the Krylov process
// amplifies by at most the system's conditioning (measured up to 7e-9
// relative, max norm; the rotating sphere's tractions are least determined).
TEST(FastPath, SolveMatchesReferenceOnExamples) {
  for (const char* name : {"sphere-translate", "sphere-rotate", "sphere-traction"}) {
    const std::string dir = std::string(VELMORA_SOURCE_DIR) + "/examples/" + name;
    SolveOptions fast, ref;
    fast.cache_budget = std::size_t{1} << 32;
    fast.trades = EngineTrades();
    fast.coarse_correction = false;
    ref.reference_path = true;
    const SolveResult a = solve_in(dir, fast), b = solve_in(dir, ref);
    const std::string iters = line_with(b.log, "info(2) = ");
    ASSERT_FALSE(iters.empty()) << name;
    EXPECT_EQ(line_with(a.log, "info(2) = "), iters) << name;
    const double eu = max_rel_error(a.uvec, b.uvec), et = max_rel_error(a.tvec, b.tvec);
    EXPECT_LT(eu, 1e-7) << name;
    EXPECT_LT(et, 1e-7) << name;
    std::printf("  %-16s%s  u %.1e  t %.1e\n", name, iters.c_str(), eu, et);
  }
}

// Restores the OpenMP thread count on leaving a scope.
class ThreadCount {
 public:
  ThreadCount() : saved_(omp_get_max_threads()) {}
  ~ThreadCount() { omp_set_num_threads(saved_); }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;

 private:
  int saved_;
};

// Products (both modes, the near-field cache filled and used) and
// preconditioner applications (factors computed and cached) are the same
// bits with 1, 2 and 4 threads.
TEST(FastPathThreads, ProductsAndPreconditionerBitIdentical) {
  const ThreadCount restore;
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 0.9, 31);
  FmmSetup f(m, 20, 8);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  const std::vector<double> x1 = uniform_vector(ndof, 91), x2 = uniform_vector(ndof, 92);
  std::vector<int> ipvt(60);
  PreconData d;
  d.mesh = m.view();
  d.mu = m.mu;
  d.snaptol = f.snaptol;
  d.maxl = f.maxl;
  d.minlev = f.minlev;
  d.tree = f.tree.view();
  std::vector<std::vector<double>> first;
  for (int threads : {1, 2, 4}) {
    omp_set_num_threads(threads);
    EngineRig rig(m, f, Translations::Rotation);
    ASSERT_EQ(rig.engine.threads(), threads);
    rig.engine.enable_near_cache();
    FastPrecon pc(d);
    pc.enable_factor_cache();
    std::vector<std::vector<double>> out(6, std::vector<double>(ndof, 0.0));
    rig.engine.apply(0, nullptr, out[0].data());
    rig.engine.apply(1, x1.data(), out[1].data());
    rig.engine.apply(1, x2.data(), out[2].data());
    rig.engine.apply(0, nullptr, out[3].data());
    pc.apply(x1.data(), out[4].data());
    pc.apply(x2.data(), out[5].data());
    if (threads == 1) {
      first = out;
      continue;
    }
    for (std::size_t i = 0; i < out.size(); ++i)
      EXPECT_EQ(out[i], first[i]) << "result " << i << " with " << threads << " threads";
  }
}

// A whole solve of the translating sphere gives the same bits for the
// solution with 1, 2 and 4 threads.
TEST(FastPathThreads, SolveBitIdentical) {
  const ThreadCount restore;
  const std::string dir = std::string(VELMORA_SOURCE_DIR) + "/examples/sphere-translate";
  SolveOptions opt;
  opt.cache_budget = std::size_t{1} << 32;
  omp_set_num_threads(1);
  const SolveResult one = solve_in(dir, opt);
  for (int threads : {2, 4}) {
    omp_set_num_threads(threads);
    const SolveResult r = solve_in(dir, opt);
    EXPECT_EQ(r.uvec, one.uvec) << threads << " threads";
    EXPECT_EQ(r.tvec, one.tvec) << threads << " threads";
    EXPECT_EQ(line_with(r.log, "rinfo(1)"), line_with(one.log, "rinfo(1)"));
  }
}

}  // namespace
}  // namespace velmora
