// Virtual ranks: the partition of the multipole product among P processes
// and a cost model of the distributed product, for meshes larger than this
// machine holds (10^7 to 10^8 triangles).
//
//   virtual_ranks [options]       (build/bench/virtual_ranks; --help lists them)
//
// The mesh is generated, not stored: the geodesic sphere of frequency K
// (20 K^2 triangles; several on a cubic lattice with --spheres), of which only
// each triangle's centroid is formed and kept as a 63-bit Morton key in the
// root cube (the bounding box's largest extent times cubfac 1.01, as the
// program's tree).  The tree is built from the sorted keys with the program's
// rules: a cell of level < minlev (2) or holding more than maxl elements is
// split into its non-empty octants, down to level 20.  Its leaves in tree
// order carry the work of the program's partition (FmmEngine::leaf_work, in
// the units of fmm/partition.hpp):
//   near pairs   n_b times the elements of the same-level cells adjacent to
//                leaf b (itself included) and of the coarser leaves adjacent
//                to the parent of each cell on its path;
//   elements     kElementUnits each;
//   M2L          kM2LUnits per interaction-list entry of each cell on the
//                path (the children of the parent's adjacent non-leaf cells
//                less the cell's adjacent cells), shared by elements;
// and are cut by partition_leaves, the program's own partition.  Per rank
// it then counts what the owner-computes design (docs/distributed.md) moves
// in one product:
//   ghost elements  near-field sources of its leaves held by other ranks
//                   (their densities, 24 bytes each, every product);
//   ghost cells     multipole-to-local sources outside the rank: children of
//                   the adjacent cells of the parents of the cells meeting
//                   its elements (an upper bound: a few of them are near, not
//                   far, for every target), one expansion of 4 (p+1)(p+2)
//                   doubles each;
//   shared cells    cells whose elements span ranks: the partial moments go
//                   up to the owner and the local expansion comes back;
//   neighbours      distinct ranks it receives from (one message each per
//                   exchange), plus the two reductions of an iteration of
//                   GMRES (log2 P rounds each).
// Cost model: compute = work x seconds per unit of one core (measured here,
// --seconds-per-unit); communication = messages x latency + bytes / (link
// bandwidth / ranks per node), no overlap with the computation (an upper
// bound; --overlap: the ghost cells' moments travel while the rank computes
// its near field, as the program's product does, and only what outlasts
// that is paid); the product takes the slowest rank's compute plus the slowest
// rank's communication.  Efficiency = (total work / P x rate) / that time.
// Memory per rank = owned elements x bytes per element of a one-process run
// (--bytes-per-element, measured here) + ghost data.
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fmm/engine.hpp"
#include "fmm/partition.hpp"
#include "virtual_mesh.hpp"

namespace {

using velmora::FmmEngine;
using velmora::LeafPartition;

using vranks::build_tree;
using vranks::Node;
using vranks::Octree;
using vranks::sphere_keys;

struct Options {
  int frequency = 2236;  // 100M triangles
  int spheres = 1;       // per lattice edge: spheres^3 spheres
  int maxl = 30;
  int minlev = 2;
  int nexp = 15;
  std::vector<int> ranks = {16, 64, 256, 1024, 4096};
  double seconds_per_unit = 3.37e-9;  // one core, from bench/speed.sh at 1M
  double bytes_per_element = 12700;   // peak of a one-process 1M run / N
  double latency = 2e-6;              // s per message
  double bandwidth = 12.5e9;          // bytes/s of one 100 Gb/s link
  int cores_per_node = 16;            // cores sharing a link
  int threads = 1;                    // threads (cores) per rank
  int iterations = 35;                // GMRES iterations (reductions per product)
  int weak = 0;                       // > 0: weak scaling, this many triangles per rank
  bool overlap = false;               // the moments' exchange hidden behind the near field
};

struct Leaf {
  int lev = 0, idx = 0;
};

// Per-rank counts of one partition.
struct RankCounts {
  std::int64_t ghost_elements = 0, ghost_cells = 0, shared_cells = 0;
  int neighbours = 0;
};

struct Model {
  std::int64_t nelem = 0;
  Octree tree;
  std::vector<Leaf> leaves;  // tree order
  std::vector<FmmEngine::LeafWork> work;
  std::vector<std::int64_t> near;  // per leaf, its near-field pairs
  std::int64_t near_pairs = 0, m2l_entries = 0;
};

Model build_model(int k, int n, int maxl, int minlev) {
  Model m;
  double t0 = omp_get_wtime();
  const std::vector<std::uint64_t> keys = sphere_keys(k, n);
  m.nelem = static_cast<std::int64_t>(keys.size());
  m.tree = build_tree(keys, maxl, minlev);
  const Octree& t = m.tree;
  const int nlev = static_cast<int>(t.level.size()) - 1;
  std::fprintf(stderr, "  %lld triangles: keys and tree in %.1f s, %d levels\n",
               static_cast<long long>(m.nelem), omp_get_wtime() - t0, nlev);
  // Per cell of level >= 2: the near sources its targets get from coarser
  // leaves (adjacent to its parent), and its multipole-to-local entries.
  std::vector<std::vector<std::int64_t>> coarse(nlev + 1), m2l(nlev + 1);
  for (int lev = 2; lev <= nlev; ++lev) {
    const auto& cells = t.level[lev];
    coarse[lev].assign(cells.size(), 0);
    m2l[lev].assign(cells.size(), 0);
    const auto& parents = t.level[lev - 1];
#pragma omp parallel
    {
      std::vector<int> adj, own;
#pragma omp for schedule(dynamic, 256)
      for (int pi = 0; pi < static_cast<int>(parents.size()); ++pi) {
        const Node& par = parents[pi];
        if (par.child < 0) continue;
        t.adjacent(lev - 1, pi, adj);
        std::int64_t from_leaves = 0, children = 0;
        for (int q : adj) {
          const Node& nq = parents[q];
          if (nq.child < 0)
            from_leaves += nq.b - nq.a;
          else
            children += nq.nchild;
        }
        for (int c = par.child; c < par.child + par.nchild; ++c) {
          coarse[lev][c] = from_leaves;
          t.adjacent(lev, c, own);
          m2l[lev][c] = children - static_cast<std::int64_t>(own.size());
        }
      }
    }
  }
  // Leaves in tree order, with their work.
  for (int lev = 2; lev <= nlev; ++lev)
    for (int i = 0; i < static_cast<int>(t.level[lev].size()); ++i)
      if (t.level[lev][i].child < 0) m.leaves.push_back({lev, i});
  std::sort(m.leaves.begin(), m.leaves.end(), [&](const Leaf& x, const Leaf& y) {
    return t.level[x.lev][x.idx].a < t.level[y.lev][y.idx].a;
  });
  m.work.resize(m.leaves.size());
  m.near.resize(m.leaves.size());
  std::int64_t pairs = 0, entries = 0;
#pragma omp parallel reduction(+ : pairs, entries)
  {
    std::vector<int> adj;
#pragma omp for schedule(dynamic, 1024)
    for (int li = 0; li < static_cast<int>(m.leaves.size()); ++li) {
      const Leaf& lf = m.leaves[li];
      const Node& nd = t.level[lf.lev][lf.idx];
      const std::int64_t nb = nd.b - nd.a;
      t.adjacent(lf.lev, lf.idx, adj);
      std::int64_t src = 0;
      for (int q : adj) src += t.level[lf.lev][q].b - t.level[lf.lev][q].a;
      // Up the path: each cell's coarse sources and its entries' share.
      std::int64_t w = velmora::kElementUnits * nb;
      std::uint64_t prefix = nd.prefix;
      for (int lev = lf.lev; lev >= 2; --lev, prefix >>= 3) {
        const int c = lev == lf.lev ? lf.idx : t.find(lev, prefix);
        const Node& cn = t.level[lev][c];
        src += coarse[lev][c];
        w += velmora::kM2LUnits * m2l[lev][c] * nb / (cn.b - cn.a);
        entries += cn.a == nd.a ? m2l[lev][c] : 0;  // once per cell, at its first leaf
      }
      w += nb * src;
      pairs += nb * src;
      m.near[li] = nb * src;
      m.work[li] = {static_cast<int>(nd.a + 1), static_cast<int>(nd.b), w};
    }
  }
  m.near_pairs = pairs;
  m.m2l_entries = entries;
  return m;
}

// What rank r of partition `part` receives in one product.
RankCounts count_rank(const Model& m, const LeafPartition& part, int r,
                      const std::vector<std::int64_t>& starts) {
  RankCounts rc;
  const Octree& t = m.tree;
  const int nlev = static_cast<int>(t.level.size()) - 1;
  if (part.leaf_end[r] == part.leaf_begin[r]) return rc;
  const std::int64_t A = part.first[r] - 1, B = part.last[r];  // positions A..B-1
  auto owner = [&](std::int64_t pos) {
    return static_cast<int>(std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin()) - 1;
  };
  std::vector<int> from;  // ranks it receives from
  // Near-field sources: same-level neighbours of its leaves and the coarser
  // leaves adjacent to the parents on their paths, outside A..B.
  std::vector<std::pair<std::int64_t, std::int64_t>> iv;
  std::vector<int> adj;
  for (int li = part.leaf_begin[r]; li < part.leaf_end[r]; ++li) {
    const Leaf& lf = m.leaves[li];
    t.adjacent(lf.lev, lf.idx, adj);
    for (int q : adj) iv.emplace_back(t.level[lf.lev][q].a, t.level[lf.lev][q].b);
    std::uint64_t prefix = t.level[lf.lev][lf.idx].prefix;
    for (int lev = lf.lev; lev >= 2; --lev, prefix >>= 3) {
      const int pi = t.find(lev - 1, prefix >> 3);
      const Node& par = t.level[lev - 1][pi];
      // A parent that an earlier leaf of this rank also lies under has been
      // visited, and so have its ancestors.
      if (par.a < t.level[lf.lev][lf.idx].a && par.a >= A) break;
      t.adjacent(lev - 1, pi, adj);
      for (int q : adj) {
        const Node& nq = t.level[lev - 1][q];
        if (nq.child < 0) iv.emplace_back(nq.a, nq.b);
      }
    }
  }
  std::sort(iv.begin(), iv.end());
  std::int64_t reach = -1;
  for (auto [a, b] : iv) {
    a = std::max(a, reach);
    if (b <= a) continue;
    reach = b;
    // Parts outside A..B.
    const std::int64_t pieces[2][2] = {{a, std::min(b, A)}, {std::max(a, B), b}};
    for (const auto& pc : pieces)
      if (pc[1] > pc[0]) {
        rc.ghost_elements += pc[1] - pc[0];
        for (int o = owner(pc[0]); o <= owner(pc[1] - 1); ++o) from.push_back(o);
      }
  }
  // Multipole-to-local sources: per level, the children of the cells
  // adjacent to the parents of the cells meeting A..B, owned elsewhere (a
  // cell's owner holds its first element).
  std::vector<int> cand;
  for (int lev = 2; lev <= nlev; ++lev) {
    const auto& cells = t.level[lev];
    const auto& up = t.level[lev - 1];
    auto lo = std::lower_bound(up.begin(), up.end(), A, [](const Node& nd, std::int64_t x) { return nd.b <= x; });
    cand.clear();
    for (auto it = lo; it != up.end() && it->a < B; ++it) {
      if (it->child < 0) continue;
      t.adjacent(lev - 1, static_cast<int>(it - up.begin()), adj);
      for (int q : adj)
        for (int c = up[q].child; c >= 0 && c < up[q].child + up[q].nchild; ++c)
          if (cells[c].a < A || cells[c].a >= B) cand.push_back(c);
    }
    std::sort(cand.begin(), cand.end());
    cand.erase(std::unique(cand.begin(), cand.end()), cand.end());
    rc.ghost_cells += static_cast<std::int64_t>(cand.size());
    for (int c : cand) from.push_back(owner(cells[c].a));
    // Cells that span the rank's boundaries (at most one at each end per level).
    for (auto it = std::lower_bound(cells.begin(), cells.end(), A,
                                    [](const Node& nd, std::int64_t x) { return nd.b <= x; });
         it != cells.end() && it->a < B; ++it)
      if (it->a < A || it->b > B) ++rc.shared_cells;
  }
  std::sort(from.begin(), from.end());
  from.erase(std::unique(from.begin(), from.end()), from.end());
  from.erase(std::remove(from.begin(), from.end(), r), from.end());
  rc.neighbours = static_cast<int>(from.size());
  return rc;
}

struct Prediction {
  double imbalance = 1, compute = 0, comm = 0, total = 0, efficiency = 0, memory_gb = 0;
  double max_mb = 0;
  std::int64_t max_ghost_elements = 0, max_ghost_cells = 0, max_shared = 0;
  int max_neighbours = 0;
  double leaves_per_rank = 0;
};

Prediction predict(const Model& m, int p, const Options& o) {
  Prediction pr;
  const LeafPartition part = velmora::partition_leaves(m.work, p);
  std::vector<std::int64_t> starts(static_cast<std::size_t>(p));
  for (int r = 0; r < p; ++r)
    starts[r] = part.leaf_end[r] > part.leaf_begin[r] ? part.first[r] - 1
                                                       : (r > 0 ? starts[r - 1] : 0);
  std::vector<RankCounts> rc(static_cast<std::size_t>(p));
#pragma omp parallel for schedule(dynamic, 1)
  for (int r = 0; r < p; ++r) rc[r] = count_rank(m, part, r, starts);
  const double cell_bytes = 8.0 * 4 * (o.nexp + 1) * (o.nexp + 2);
  // Ranks of a node share its link; each rank's threads share its work
  // (the engine's threads divide a product's work evenly: 2.07 times one
  // thread's speed on 2 cores, bench/speed.sh).
  const int per_node = std::max(1, std::min(o.cores_per_node / std::max(1, o.threads), p));
  const double link = o.bandwidth / per_node;
  const double rate = o.seconds_per_unit / std::max(1, o.threads);
  const double reductions = 2.0 * std::ceil(std::log2(std::max(2, p))) * o.latency;
  std::int64_t total_work = 0;
  for (std::int64_t w : part.work) total_work += w;
  double worst_compute = 0, worst_comm = 0, worst_memory = 0;
  for (int r = 0; r < p; ++r) {
    const RankCounts& c = rc[r];
    const double bytes = 24.0 * c.ghost_elements + cell_bytes * c.ghost_cells +
                         2.0 * cell_bytes * c.shared_cells;
    const double msgs = 2.0 * c.neighbours + 2.0 * c.shared_cells;
    double comm = msgs * o.latency + bytes / link + reductions;
    if (o.overlap) {
      // The ghost cells' moments (one message per neighbour) go while the
      // rank computes its near field: only what outlasts it is paid.
      std::int64_t near = 0;
      for (int l = part.leaf_begin[r]; l < part.leaf_end[r]; ++l) near += m.near[l];
      const double moments = c.neighbours * o.latency + cell_bytes * c.ghost_cells / link;
      comm -= moments - std::max(0.0, moments - static_cast<double>(near) * rate);
    }
    worst_compute = std::max(worst_compute, static_cast<double>(part.work[r]) * rate);
    worst_comm = std::max(worst_comm, comm);
    const double owned = std::max(0, part.last[r] - part.first[r] + 1);
    const double memory = owned * o.bytes_per_element + 124.0 * c.ghost_elements +
                          2.0 * cell_bytes * c.ghost_cells;
    worst_memory = std::max(worst_memory, memory);
    pr.max_mb = std::max(pr.max_mb, bytes / 1e6);
    pr.max_ghost_elements = std::max(pr.max_ghost_elements, c.ghost_elements);
    pr.max_ghost_cells = std::max(pr.max_ghost_cells, c.ghost_cells);
    pr.max_shared = std::max(pr.max_shared, c.shared_cells);
    pr.max_neighbours = std::max(pr.max_neighbours, c.neighbours);
  }
  pr.imbalance = part.imbalance();
  pr.compute = worst_compute;
  pr.comm = worst_comm;
  pr.total = worst_compute + worst_comm;
  pr.efficiency = static_cast<double>(total_work) * rate / p / pr.total;
  pr.memory_gb = worst_memory / 1e9;
  pr.leaves_per_rank = static_cast<double>(m.leaves.size()) / p;
  return pr;
}

void print_header() {
  std::printf("%12s %6s %6s %9s %6s %10s %9s %7s %5s %8s %8s %8s %7s %6s %6s %7s\n", "triangles", "ranks", "cores",
              "leaves/r", "imbal", "ghost el", "ghost c", "shared", "nbrs", "MB/prod", "compute",
              "comm", "total", "comm%", "eff", "GB/rank");
}

void print_row(std::int64_t n, int p, int threads, const Prediction& pr) {
  std::printf("%12lld %6d %6d %9.0f %6.3f %10lld %9lld %7lld %5d %8.2f %8.4f %8.4f %7.4f %6.1f %6.3f %7.2f\n",
              static_cast<long long>(n), p, p * threads, pr.leaves_per_rank, pr.imbalance,
              static_cast<long long>(pr.max_ghost_elements), static_cast<long long>(pr.max_ghost_cells),
              static_cast<long long>(pr.max_shared), pr.max_neighbours, pr.max_mb, pr.compute, pr.comm,
              pr.total, 100.0 * pr.comm / pr.total, pr.efficiency, pr.memory_gb);
}

std::vector<int> int_list(const std::string& s) {
  std::vector<int> out;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t comma = s.find(',', at);
    out.push_back(std::atoi(s.substr(at, comma - at).c_str()));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

const char* const kUsage =
    "Usage: virtual_ranks [options]\n"
    "  --frequency K        geodesic sphere of 20 K^2 triangles (default 2236: 1.0e8)\n"
    "  --spheres N          N^3 such spheres on a cubic lattice, centres 3 radii apart (1)\n"
    "  --maxl L             elements per leaf at most (30)\n"
    "  --nexp P             expansion order, for the bytes of an expansion (15)\n"
    "  --ranks P1,P2,...    rank counts (16,64,256,1024,4096)\n"
    "  --weak N             weak scaling instead: N triangles per rank, one sphere\n"
    "                       each count of --ranks (its frequency rounded)\n"
    "  --seconds-per-unit S one core's seconds per work unit (3.37e-9, bench/speed.sh)\n"
    "  --bytes-per-element B memory of a one-process run per element (12700)\n"
    "  --latency S          seconds per message (2e-6)\n"
    "  --bandwidth B        bytes per second of one link (12.5e9: 100 Gb/s)\n"
    "  --threads T          threads (cores) per rank (1)\n"
    "  --cores-per-node C   cores of a node, whose ranks share one link (16)\n"
    "  --iterations I       GMRES iterations per product count (35)\n"
    "  --overlap            the moments' exchange goes on while the rank computes its\n"
    "                       near field, as the program does: only what outlasts it is paid\n";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "virtual_ranks: %s needs a value\n%s", a.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--frequency") o.frequency = std::atoi(next().c_str());
    else if (a == "--spheres") o.spheres = std::atoi(next().c_str());
    else if (a == "--maxl") o.maxl = std::atoi(next().c_str());
    else if (a == "--nexp") o.nexp = std::atoi(next().c_str());
    else if (a == "--ranks") o.ranks = int_list(next());
    else if (a == "--weak") o.weak = std::atoi(next().c_str());
    else if (a == "--seconds-per-unit") o.seconds_per_unit = std::atof(next().c_str());
    else if (a == "--bytes-per-element") o.bytes_per_element = std::atof(next().c_str());
    else if (a == "--latency") o.latency = std::atof(next().c_str());
    else if (a == "--overlap") o.overlap = true;
    else if (a == "--bandwidth") o.bandwidth = std::atof(next().c_str());
    else if (a == "--cores-per-node") o.cores_per_node = std::atoi(next().c_str());
    else if (a == "--threads") o.threads = std::atoi(next().c_str());
    else if (a == "--iterations") o.iterations = std::atoi(next().c_str());
    else if (a == "--help") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "virtual_ranks: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (o.frequency < 1 || o.spheres < 1 || o.maxl < 1 || o.threads < 1 || o.ranks.empty()) {
    std::fprintf(stderr, "virtual_ranks: sizes must be positive\n%s", kUsage);
    return 2;
  }
  std::printf("# model: %.3g s per unit per core, %.0f bytes per element, latency %.1e s, link %.3g B/s "
              "per node of %d cores, %d threads per rank, expansions of order %d, maxl %d, %s\n",
              o.seconds_per_unit, o.bytes_per_element, o.latency, o.bandwidth, o.cores_per_node,
              o.threads, o.nexp, o.maxl,
              o.overlap ? "moments' exchange behind the near field" : "no overlap");
  print_header();
  if (o.weak > 0) {
    double t1 = 0;
    for (int p : o.ranks) {
      const int k = std::max(1, static_cast<int>(std::lround(std::sqrt(static_cast<double>(o.weak) * p / 20.0))));
      const Model m = build_model(k, 1, o.maxl, o.minlev);
      Prediction pr = predict(m, p, o);
      // Weak efficiency: the one-rank time per element of the smallest run
      // over this run's.
      const double per = pr.total / (static_cast<double>(m.nelem) / p);
      if (t1 == 0) t1 = per;
      print_row(m.nelem, p, o.threads, pr);
      std::printf("%12s weak-scaling efficiency against the first row: %.3f\n", "", t1 / per);
    }
    return 0;
  }
  const Model m = build_model(o.frequency, o.spheres, o.maxl, o.minlev);
  std::fprintf(stderr, "  %zu leaves, %.3g near pairs, %.3g multipole-to-local entries\n",
               m.leaves.size(), static_cast<double>(m.near_pairs), static_cast<double>(m.m2l_entries));
  for (int p : o.ranks) print_row(m.nelem, p, o.threads, predict(m, p, o));
  return 0;
}
