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
#include <algorithm>
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "fmm/direct_translate.hpp"
#include "fmm/expansion.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"

namespace velmora {
namespace {

using Vec3 = std::array<double, 3>;

// ---- Direct sums of the passes ------------------------------------------

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
  direct_m2l_add(p, M, xh, L, s.stab.data(), s.mom.data(), s.acc.data());
}

void direct_m2m(int p, const Complex* M, const double d[3], Complex* P, DirectScratch& s) {
  direct_m2m_add(p, M, d, P, s.rtab.data(), s.mom.data());
}

void direct_l2l(int p, const Complex* Lp, const double d[3], Complex* Lc, DirectScratch& s) {
  direct_l2l_add(p, Lp, d, Lc, s.rtab.data(), s.loc.data());
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
// Multipole to local on cells in the half layout (orders m >= 0), as a
// threaded engine that stores its expansions so would call it: one offset
// at a time, or (Paired) two offsets of the same polar angle at a time, the
// counter "per_translation" then being the time of one of the two.
template <bool Paired>
void BM_M2LHalf(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const double h = 0.0625;
  auto offsets = m2l_offsets(h);
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
  // Offsets ordered by polar angle, as the engine orders a cell's list.
  std::stable_sort(offsets.begin(), offsets.end(), [&op](const auto& a, const auto& b) {
    return m2l_angle_index(op, a.data()) < m2l_angle_index(op, b.data());
  });
  std::vector<Complex> work(m2l_work_size(p));
  std::size_t i = 0;
  for (auto _ : state) {
    if constexpr (Paired) {
      const std::size_t j = i + 1 < offsets.size() ? i + 1 : 0;
      m2l_add_half_pair(op, in.data(), offsets[i].data(), in.data(), offsets[j].data(),
                        out.data(), work.data());
      i = j + 1 < offsets.size() ? j + 1 : 0;
    } else {
      m2l_add_half(op, in.data(), offsets[i].data(), out.data(), work.data());
      if (++i == offsets.size()) i = 0;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_translation"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (Paired ? 2.0 : 1.0),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#define VELMORA_TRANSLATE_BENCH(fn) \
  BENCHMARK(fn)->Arg(8)->Arg(12)->Arg(16)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()

VELMORA_TRANSLATE_BENCH((BM_Translate<kM2L, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2L, true>));
VELMORA_TRANSLATE_BENCH(BM_M2LHalf<false>);
VELMORA_TRANSLATE_BENCH(BM_M2LHalf<true>);
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2M, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kM2M, true>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kL2L, false>));
VELMORA_TRANSLATE_BENCH((BM_Translate<kL2L, true>));

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
