// Throughput of TRIINT: one source element against a list of nearby targets,
// as in the near field of a leaf cell; and (BM_TriintShared*) the 30
// elements of a cell against such a list with shared targets, node and edge
// rows, the rows' own cost included.  The mesh is a subdivided icosahedron
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

// The nt elements whose collocation points are nearest to element 1's.
std::vector<int> nearest(const MeshView& mesh, int nt) {
  std::vector<int> order(mesh.nelem);
  std::iota(order.begin(), order.end(), 1);
  auto dist2 = [&](int e) {
    double s = 0.0;
    for (int c = 1; c <= 3; ++c) s += std::pow(mesh.col(e, c) - mesh.col(1, c), 2);
    return s;
  };
  std::partial_sort(order.begin(), order.begin() + nt, order.end(),
                    [&](int a, int b) { return dist2(a) < dist2(b); });
  order.resize(nt);
  return order;
}

void run_shared(benchmark::State& state, velmora::TriintParts parts) {
  static const Sphere sphere(5);
  const MeshView mesh = sphere.mesh();
  const int nt = static_cast<int>(state.range(0));
  const std::vector<int> targets = nearest(mesh, nt), sources = nearest(mesh, 30);
  // Local nodes and edges of the source cell (edges from the lower node).
  std::vector<int> nodes;
  std::vector<std::pair<int, int>> edges;
  std::vector<std::array<int, 6>> local;
  auto node_index = [&](int g) {
    auto it = std::find(nodes.begin(), nodes.end(), g);
    if (it != nodes.end()) return static_cast<int>(it - nodes.begin());
    nodes.push_back(g);
    return static_cast<int>(nodes.size()) - 1;
  };
  for (int e : sources) {
    std::array<int, 6> l{};
    for (int v = 0; v < 3; ++v) l[v] = node_index(mesh.node(e, v + 1));
    for (int j = 0; j < 3; ++j) {
      auto key = std::minmax(mesh.node(e, j + 1), mesh.node(e, (j + 1) % 3 + 1));
      const std::pair<int, int> k{node_index(key.first), node_index(key.second)};
      auto it = std::find(edges.begin(), edges.end(), k);
      if (it == edges.end()) it = edges.insert(edges.end(), k);
      l[3 + j] = static_cast<int>(it - edges.begin());
    }
    local.push_back(l);
  }
  const int np = velmora::triint_padded(nt);
  std::vector<double> tx(np), ty(np), tz(np), rows((nodes.size() + edges.size()) * np);
  Arrays out(nt);
  double normal[3];
  for (auto _ : state) {
    for (int k = 0; k < np; ++k) {
      const int e = targets[std::min(k, nt - 1)];
      tx[k] = mesh.col(e, 1);
      ty[k] = mesh.col(e, 2);
      tz[k] = mesh.col(e, 3);
    }
    velmora::TriintTargets tg;
    tg.n = nt;
    tg.elem = targets.data();
    tg.x = tx.data();
    tg.y = ty.data();
    tg.z = tz.data();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const double q[3] = {mesh.x(nodes[i], 1), mesh.x(nodes[i], 2), mesh.x(nodes[i], 3)};
      velmora::triint_node_row(tg, q, rows.data() + i * np);
    }
    double* erows = rows.data() + nodes.size() * np;
    for (std::size_t i = 0; i < edges.size(); ++i) {
      const int a = nodes[edges[i].first], b = nodes[edges[i].second];
      const double pa[3] = {mesh.x(a, 1), mesh.x(a, 2), mesh.x(a, 3)};
      const double pb[3] = {mesh.x(b, 1), mesh.x(b, 2), mesh.x(b, 3)};
      velmora::triint_edge_row(tg, velmora::triint_edge_length(pa, pb),
                               rows.data() + edges[i].first * np,
                               rows.data() + edges[i].second * np, erows + i * np);
    }
    for (std::size_t s = 0; s < sources.size(); ++s) {
      velmora::TriintSourceRows r;
      for (int j = 0; j < 3; ++j) {
        r.r[j] = rows.data() + local[s][j] * np;
        r.f[j] = erows + local[s][3 + j] * np;
      }
      velmora::triint_shared(mesh, 1.0, 1e-6, tg, r, out.coef, normal, sources[s], parts);
    }
    benchmark::DoNotOptimize(out.reals.data());
    benchmark::ClobberMemory();
  }
  const double pairs = static_cast<double>(nt) * sources.size() * state.iterations();
  state.counters["time_per_pair"] =
      benchmark::Counter(pairs, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TriintShared(benchmark::State& state) {
  run_shared(state, velmora::TriintParts::All);
}
void BM_TriintSharedStokesletOnly(benchmark::State& state) {
  run_shared(state, velmora::TriintParts::StokesletOnly);
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
BENCHMARK(BM_TriintShared)->Arg(50)->Arg(200)->Arg(512);
BENCHMARK(BM_TriintSharedStokesletOnly)->Arg(20)->Arg(50)->Arg(100)->Arg(200)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
