// One multipole product (UPWRD + DNWRD, mode 1) on icospheres of 5120, 20480
// and 81920 elements, split into near field (TRIINT and its accumulation),
// multipole-to-local translation and the rest (moments, translations up and
// down, lists, evaluation).  The split is in processor seconds of the calling
// thread (the passes run on one thread); the per-element time shows how the
// cost grows with N.
//
// Arguments of each case: refinements of the icosphere, maxl, nexp.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "../tests/fmm_support.hpp"

namespace velmora {
namespace {

void BM_FmmProduct(benchmark::State& state) {
  const int refinements = static_cast<int>(state.range(0));
  const int maxl = static_cast<int>(state.range(1));
  const int nexp = static_cast<int>(state.range(2));
  const testing::Model m = testing::make_model(icosphere(refinements, 1.0), 1.0, 17);
  testing::FmmSetup f(m, maxl, nexp);
  const std::size_t ndof = 3 * static_cast<std::size_t>(m.mesh.nelem);
  std::vector<double> x(ndof), y(ndof);
  for (std::size_t i = 0; i < ndof; ++i) x[i] = std::sin(0.37 * static_cast<double>(i));

  FmmTimers t;
  t.thread_cpu = true;  // processor seconds: the build machine is shared
  for (auto _ : state) {
    std::fill(y.begin(), y.end(), 0.0);
    f.apply(m, 1, x.data(), y.data(), &t);
    benchmark::DoNotOptimize(y.data());
  }
  const double it = static_cast<double>(state.iterations());
  const double total = (t.upward + t.downward) / it;
  state.counters["nelem"] = m.mesh.nelem;
  state.counters["ncell"] = f.ncell();
  state.counters["total_s"] = total;
  state.counters["near_s"] = t.near / it;
  state.counters["m2l_s"] = t.m2l / it;
  state.counters["rest_s"] = total - (t.near + t.m2l) / it;
  state.counters["us_per_elem"] = 1e6 * total / m.mesh.nelem;
  state.counters["near_pairs"] = static_cast<double>(t.near_pairs) / it;
  state.counters["m2l_pairs"] = static_cast<double>(t.m2l_pairs) / it;
}

// Spheres of 5120, 20480 and 81920 elements at nexp 8 with maxl 40; the
// smallest also at nexp 12 and maxl 60.
BENCHMARK(BM_FmmProduct)
    ->Args({4, 40, 8})
    ->Args({5, 40, 8})
    ->Args({6, 40, 8})
    ->Args({4, 60, 12})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
