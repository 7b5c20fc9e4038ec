// Throughput of TRIINT: one source element against a list of nearby targets,
// as in the near field of a leaf cell.  The mesh is a subdivided icosahedron
// projected onto the unit sphere; the targets are the collocation points of
// the elements nearest to the source (the source itself among them).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "bem/triint_math.hpp"

namespace {

using velmora::MeshView;

struct Sphere {
  int nnode = 0, nelem = 0;
  std::vector<double> xnode;  // nnode x 3
  std::vector<int> ielem;     // nelem x 3
  std::vector<double> xcol;   // nelem x 3

  // Icosahedron refined `levels` times (20 * 4^levels elements).
  explicit Sphere(int levels) {
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<std::array<double, 3>> p = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                            {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                            {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<std::array<int, 3>> f = {
        {0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
        {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
        {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    auto unit = [](std::array<double, 3> a) {
      const double r = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
      return std::array<double, 3>{a[0] / r, a[1] / r, a[2] / r};
    };
    for (auto& q : p) q = unit(q);
    for (int l = 0; l < levels; ++l) {
      std::map<std::pair<int, int>, int> mid;
      auto midpoint = [&](int a, int b) {
        const auto key = std::minmax(a, b);
        auto it = mid.find(key);
        if (it != mid.end()) return it->second;
        p.push_back(unit({p[a][0] + p[b][0], p[a][1] + p[b][1], p[a][2] + p[b][2]}));
        return mid[key] = static_cast<int>(p.size()) - 1;
      };
      std::vector<std::array<int, 3>> g;
      for (const auto& e : f) {
        const int ab = midpoint(e[0], e[1]), bc = midpoint(e[1], e[2]), ca = midpoint(e[2], e[0]);
        g.push_back({e[0], ab, ca});
        g.push_back({ab, e[1], bc});
        g.push_back({ca, bc, e[2]});
        g.push_back({ab, bc, ca});
      }
      f = std::move(g);
    }
    nnode = static_cast<int>(p.size());
    nelem = static_cast<int>(f.size());
    xnode.resize(3 * nnode);
    for (int k = 0; k < nnode; ++k)
      for (int c = 0; c < 3; ++c) xnode[k + c * nnode] = p[k][c];
    ielem.resize(3 * nelem);
    for (int e = 0; e < nelem; ++e)
      for (int v = 0; v < 3; ++v) ielem[e + v * nelem] = f[e][v] + 1;
    xcol.resize(3 * nelem);
    velmora::collocation_points(nelem, nnode, ielem.data(), xnode.data(), xcol.data());
  }
  MeshView mesh() const { return {nelem, nnode, ielem.data(), xnode.data(), xcol.data(), nullptr}; }
};

// Outputs and working state with room for `cap` targets.
struct Arrays {
  std::vector<double> reals;
  std::vector<int> ints;
  velmora::NearCoef coef;
  velmora::TriintWork work;
  explicit Arrays(int cap) : reals(velmora::kTriintReals * cap), ints(velmora::kTriintInts * cap) {
    velmora::carve_triint_arrays(reals.data(), ints.data(), cap, coef, work);
  }
};

void run(benchmark::State& state, velmora::TriintMath path,
         velmora::TriintParts parts = velmora::TriintParts::All) {
  static const Sphere sphere(5);  // 20480 elements
  const MeshView mesh = sphere.mesh();
  const int nt = static_cast<int>(state.range(0));
  const int es = 1;
  // The nt elements whose collocation points are nearest to the source's.
  std::vector<int> order(mesh.nelem);
  std::iota(order.begin(), order.end(), 1);
  auto dist2 = [&](int e) {
    double s = 0.0;
    for (int c = 1; c <= 3; ++c) s += std::pow(mesh.col(e, c) - mesh.col(es, c), 2);
    return s;
  };
  std::partial_sort(order.begin(), order.begin() + nt, order.end(),
                    [&](int a, int b) { return dist2(a) < dist2(b); });
  std::vector<int> ltarg{nt};
  ltarg.insert(ltarg.end(), order.begin(), order.begin() + nt);
  Arrays out(nt);
  double normal[3];
  for (auto _ : state) {
    velmora::triint_with(path, mesh, 1.0, 1e-6, ltarg.data(), out.coef, out.work, normal, es,
                         parts);
    benchmark::DoNotOptimize(out.reals.data());
    benchmark::ClobberMemory();
  }
  state.counters["pairs_per_s"] =
      benchmark::Counter(static_cast<double>(nt) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["time_per_pair"] =
      benchmark::Counter(static_cast<double>(nt) * state.iterations(),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Triint(benchmark::State& state) {
  run(state, velmora::TriintMath::Vector);
}
void BM_TriintScalarMath(benchmark::State& state) {
  run(state, velmora::TriintMath::Scalar);
}
void BM_TriintStokesletOnly(benchmark::State& state) {
  run(state, velmora::TriintMath::Vector, velmora::TriintParts::StokesletOnly);
}

BENCHMARK(BM_Triint)->Arg(20)->Arg(50)->Arg(100)->Arg(200);
BENCHMARK(BM_TriintScalarMath)->Arg(20)->Arg(50)->Arg(100)->Arg(200);
BENCHMARK(BM_TriintStokesletOnly)->Arg(20)->Arg(50)->Arg(100)->Arg(200);

}  // namespace

BENCHMARK_MAIN();
