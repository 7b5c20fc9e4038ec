// GMRES's inner products: z = V^T w for `count` basis vectors of n entries,
// by the leaf blocks added exactly (solver/block_dots.hpp, what the solve
// uses: the same bits for any number of threads and processes) against the
// plain tall-skinny product (common/blas_tall.hpp).  Blocks of 45 entries
// (15 elements: a leaf of maxl 30 half full); n = 3 x 100,820 and
// 3 x 1,003,520; count 30 (an iteration halfway through a restart of 60).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "common/blas_tall.hpp"
#include "solver/block_dots.hpp"

namespace {

struct Basis {
  int n, count;
  std::vector<double> V, w, z;
  std::vector<int> blocks;
  Basis(int n_, int count_) : n(n_), count(count_), V(static_cast<std::size_t>(n_) * count_), w(n_), z(count_) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double& v : V) v = u(rng);
    for (double& v : w) v = u(rng);
    for (int i = 0; i < n; i += 45) blocks.push_back(i);
    blocks.push_back(n);
  }
};

void BM_BlockDots(benchmark::State& st) {
  Basis b(static_cast<int>(st.range(0)), 30);
  for (auto _ : st) {
    velmora::block_dots(b.n, b.count, b.V.data(), b.n, b.w.data(), b.blocks, b.z.data());
    benchmark::DoNotOptimize(b.z.data());
  }
  st.counters["GB_per_s"] = benchmark::Counter(8.0 * b.n * (b.count + 1), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_TallProduct(benchmark::State& st) {
  Basis b(static_cast<int>(st.range(0)), 30);
  for (auto _ : st) {
    velmora::blas::dgemv_tall('C', b.n, b.count, 1.0, b.V.data(), b.n, b.w.data(), 0.0, b.z.data());
    benchmark::DoNotOptimize(b.z.data());
  }
  st.counters["GB_per_s"] = benchmark::Counter(8.0 * b.n * (b.count + 1), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_BlockDots)->Arg(302460)->Arg(3010560)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TallProduct)->Arg(302460)->Arg(3010560)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
