// The mesh checks run once after reading the model: the hashed edge census
// and the facing-element search on geodesic spheres of about 100k and 1M
// elements (frequency 71 and 224).  Processor seconds; both are linear in N.
#include <benchmark/benchmark.h>

#include <vector>

#include "bem/mesh.hpp"
#include "bem/mesh_check.hpp"
#include "bem/shapes.hpp"

namespace velmora {
namespace {

struct Sphere {
  SurfaceMesh m;
  std::vector<double> xcol;
  MeshView v;
  explicit Sphere(int frequency) : m(geodesic_sphere(frequency, 1.0)) {
    xcol.resize(3 * static_cast<std::size_t>(m.nelem));
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    v.nelem = m.nelem;
    v.nnode = m.nnode;
    v.ielem = m.ielem.data();
    v.xnode = m.xnode.data();
    v.xcol = xcol.data();
  }
};

void BM_EdgeFaults(benchmark::State& state) {
  const Sphere s(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(count_edge_faults(s.m.nelem, s.m.ielem.data()));
  state.counters["nelem"] = s.m.nelem;
}

void BM_FacingPairs(benchmark::State& state) {
  const Sphere s(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(count_facing_pairs(s.v, 1e-2));
  state.counters["nelem"] = s.m.nelem;
}

BENCHMARK(BM_EdgeFaults)->Arg(71)->Arg(224)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FacingPairs)
    ->Arg(71)
    ->Arg(224)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
