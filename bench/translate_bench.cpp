// Time of one expansion translation (four expansions), direct double sums of
// the reference passes against the rotation-based operators of fmm/m2l.hpp,
// at p = 8, 12, 16.  The direct versions are the loops of UPWRD (moment to
// moment) and DNWRD (multipole to local, local to local), harmonics of the
// offset included, as the passes run them.  Offsets cycle through the 316
// multipole-to-local offsets of one level or the 8 child offsets, formed as
// differences of rounded cell centres.  Times are processor time of the
// process, which runs one thread (the build machine is shared).
//
// Counters: op_bytes, the memory of the prepared operator; work_bytes, the
// work array per thread.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "fmm/expansion.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"

namespace velmora {
namespace {

using Vec3 = std::array<double, 3>;

// ---- Direct sums, as in the passes ------------------------------------------

struct DirectScratch {
  std::vector<Complex> stab, rtab, mom, loc;
  std::vector<double> acc;
  explicit DirectScratch(int p)
      : stab(irregular_table_size(p)),
        rtab(regular_table_size(p)),
        mom(ExpanView<Complex>::cell_size(p)),
        loc(ExpanView<Complex>::cell_size(p)),
        acc(8 * (2 * p + 1)) {}
};

void direct_m2l(int p, const Complex* M, const double xh[3], Complex* L, DirectScratch& s) {
  const ExpanView<const Complex> cm(M, p);
  const ExpanView<Complex> lam(L, p), mf(s.mom.data(), p);
  const IrregularView<const Complex> S(s.stab.data(), p);
  irregular_harmonics(p, xh[0], xh[1], xh[2], s.stab.data());
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      const Complex m1 = cm(1, m, n, 1), m2 = cm(2, m, n, 1), m3 = cm(3, m, n, 1);
      const Complex m4 = cm(4, m, n, 1);
      mf(1, m, n, 1) = m1;
      mf(2, m, n, 1) = m2;
      mf(3, m, n, 1) = m3;
      mf(4, m, n, 1) =
          Complex(m4.real() - xh[0] * m1.real() - xh[1] * m2.real() - xh[2] * m3.real(),
                  m4.imag() - xh[0] * m1.imag() - xh[1] * m2.imag() - xh[2] * m3.imag());
    }
  }
  double* acc = s.acc.data();
  for (int n = 0; n <= p; ++n) {
    const int nm = 2 * n + 1;
    for (int i = 0; i < 8 * nm; ++i) acc[i] = 0.0;
    for (int np = 0; np <= p; ++np) {
      const Complex* srow = &S(n + np, 0);
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
          const Complex* sv = srow + mp - n;
          for (int im = 0; im < nm; ++im) {
            const double sr = sv[im].real(), si = sv[im].imag();
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

void direct_m2m(int p, const Complex* M, const double d[3], Complex* P, DirectScratch& s) {
  const ExpanView<const Complex> cm(M, p);
  const ExpanView<Complex> par(P, p), mc(s.mom.data(), p);
  regular_harmonics(p, d[0], d[1], d[2], s.rtab.data());
  const RegularView<const Complex> R(s.rtab.data(), p);
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      const Complex m1 = cm(1, m, n, 1), m2 = cm(2, m, n, 1), m3 = cm(3, m, n, 1);
      const Complex m4 = cm(4, m, n, 1);
      mc(1, m, n, 1) = m1;
      mc(2, m, n, 1) = m2;
      mc(3, m, n, 1) = m3;
      mc(4, m, n, 1) = Complex(m4.real() + d[0] * m1.real() + d[1] * m2.real() + d[2] * m3.real(),
                               m4.imag() + d[0] * m1.imag() + d[1] * m2.imag() + d[2] * m3.imag());
    }
  }
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      Complex acc[4];
      for (int j = 1; j <= 4; ++j) acc[j - 1] = par(j, m, n, 1);
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
      for (int j = 1; j <= 4; ++j) par(j, m, n, 1) = acc[j - 1];
    }
  }
}

void direct_l2l(int p, const Complex* Lp, const double d[3], Complex* Lc, DirectScratch& s) {
  const ExpanView<const Complex> cp(Lp, p);
  const ExpanView<Complex> ch(Lc, p), lp(s.loc.data(), p);
  regular_harmonics(p, d[0], d[1], d[2], s.rtab.data());
  const RegularView<const Complex> R(s.rtab.data(), p);
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      const Complex l1 = cp(1, m, n, 1), l2 = cp(2, m, n, 1), l3 = cp(3, m, n, 1);
      const Complex l4 = cp(4, m, n, 1);
      lp(1, m, n, 1) = l1;
      lp(2, m, n, 1) = l2;
      lp(3, m, n, 1) = l3;
      lp(4, m, n, 1) = Complex(l4.real() - d[0] * l1.real() - d[1] * l2.real() - d[2] * l3.real(),
                               l4.imag() - d[0] * l1.imag() - d[1] * l2.imag() - d[2] * l3.imag());
    }
  }
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      Complex acc[4];
      for (int j = 1; j <= 4; ++j) acc[j - 1] = ch(j, m, n, 1);
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
      for (int j = 1; j <= 4; ++j) ch(j, m, n, 1) = acc[j - 1];
    }
  }
}

// ---- Inputs -------------------------------------------------------------------

// Moments of random point charges in a cube of edge h (expansions of real
// densities, as in the passes).
std::vector<Complex> moments(int p, double h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  std::vector<Complex> rt(regular_table_size(p)), M(ExpanView<Complex>::cell_size(p));
  const RegularView<const Complex> R(rt.data(), p);
  const ExpanView<Complex> mv(M.data(), p);
  for (int k = 0; k < 10; ++k) {
    regular_harmonics(p, h * u(rng), h * u(rng), h * u(rng), rt.data());
    for (int j = 1; j <= 4; ++j) {
      const double q = 2.0 * u(rng);
      for (int n = 0; n <= p; ++n)
        for (int m = -n; m <= n; ++m) mv(j, m, n, 1) += q * R(n, m);
    }
  }
  return M;
}

// Offsets as differences of cell centres 0.3 + h (i,j,k) on a level of edge h.
std::vector<Vec3> m2l_offsets(double h) {
  std::vector<Vec3> v;
  const double c0 = 0.3;
  for (int i = -3; i <= 3; ++i)
    for (int j = -3; j <= 3; ++j)
      for (int k = -3; k <= 3; ++k)
        if (std::abs(i) > 1 || std::abs(j) > 1 || std::abs(k) > 1)
          v.push_back({(c0 + h * i) - c0, (c0 + h * j) - c0, (c0 + h * k) - c0});
  return v;
}
std::vector<Vec3> child_offsets(double h) {
  std::vector<Vec3> v;
  const double c0 = 0.3, q = 0.25 * h;
  for (int s = 0; s < 8; ++s)
    v.push_back(
        {(c0 + (s & 1 ? -q : q)) - c0, (c0 + (s & 2 ? -q : q)) - c0, (c0 + (s & 4 ? -q : q)) - c0});
  return v;
}

enum Which { kM2L, kM2M, kL2L };

template <Which W, bool Fast>
void BM_Translate(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const double h = 0.0625;
  const auto offsets = (W == kM2L) ? m2l_offsets(h) : child_offsets(2.0 * h);
  const std::vector<Complex> in = moments(p, h, 7);
  std::vector<Complex> out(ExpanView<Complex>::cell_size(p));
  M2LOperator op;
  m2l_prepare(op, p);
  std::vector<Complex> work(m2l_work_size(p));
  DirectScratch ds(p);
  std::size_t i = 0;
  for (auto _ : state) {
    const double* v = offsets[i].data();
    if (++i == offsets.size()) i = 0;
    if constexpr (Fast) {
      if constexpr (W == kM2L) m2l_add(op, in.data(), v, out.data(), work.data());
      if constexpr (W == kM2M) m2m_add(op, in.data(), v, out.data(), work.data());
      if constexpr (W == kL2L) l2l_add(op, in.data(), v, out.data(), work.data());
    } else {
      if constexpr (W == kM2L) direct_m2l(p, in.data(), v, out.data(), ds);
      if constexpr (W == kM2M) direct_m2m(p, in.data(), v, out.data(), ds);
      if constexpr (W == kL2L) direct_l2l(p, in.data(), v, out.data(), ds);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["op_bytes"] = static_cast<double>(op.memory_bytes());
  state.counters["work_bytes"] = static_cast<double>(work.size() * sizeof(Complex));
}

// Multipole to local on cells in the half layout (orders m >= 0), as a
// threaded engine that stores its expansions so would call it.
void BM_M2LHalf(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const double h = 0.0625;
  const auto offsets = m2l_offsets(h);
  const std::vector<Complex> full = moments(p, h, 7);
  const ExpanView<const Complex> mv(full.data(), p);
  std::vector<double> in(4 * (p + 1) * (p + 2)), out(in.size());
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m)
      for (int j = 1; j <= 4; ++j) {
        in[8 * (n * (n + 1) / 2 + m) + j - 1] = mv(j, m, n, 1).real();
        in[8 * (n * (n + 1) / 2 + m) + j + 3] = mv(j, m, n, 1).imag();
      }
  M2LOperator op;
  m2l_prepare(op, p);
  std::vector<Complex> work(m2l_work_size(p));
  std::size_t i = 0;
  for (auto _ : state) {
    m2l_add_half(op, in.data(), offsets[i].data(), out.data(), work.data());
    if (++i == offsets.size()) i = 0;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

#define VELMORA_TRANSLATE_BENCH(fn) \
  BENCHMARK(fn)->Arg(8)->Arg(12)->Arg(16)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()

VELMORA_TRANSLATE_BENCH((BM_Translate<kM2L, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2L, true>));
VELMORA_TRANSLATE_BENCH(BM_M2LHalf);
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2M, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2M, true>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kL2L, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kL2L, true>));

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
