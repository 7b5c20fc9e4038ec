#include "fmm/engine.hpp"

#include <omp.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "bem/triint.hpp"
#include "bem/triint_math.hpp"
#include "common/constants.hpp"
#include "common/large_array.hpp"
#include "fmm/direct_translate.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/expansion.hpp"
#include "fmm/m2l.hpp"
#include "fmm/passes.hpp"
#include "fmm/point_kernels.hpp"

namespace velmora {
namespace {

// Targets per TRIINT call: long target lists (non-leaf cells with coarse
// leaves) are cut into pieces of this size.  TRIINT treats every target on
// its own, so the cut changes no result.
constexpr int kChunk = 512;

// Largest source cell (nodes plus edges) whose TRIINT calls share node and
// edge rows; a larger one (a leaf at the maximum depth) calls TRIINT per
// element.  Bounds the rows of a thread at 8 * kChunk * kMaxSharedRows bytes.
constexpr int kMaxSharedRows = 1024;

// Levels up to the common ancestor of the cells whose near fields are
// integrated together (3: up to 512 cells, in practice the neighbours of
// most source cells of the group).
constexpr int kBatchLevels = 3;

// Half layout: entry (n, m), 0 <= m <= n, at 8 (n(n+1)/2 + m) doubles.
inline int hidx(int n, int m) {
  return n * (n + 1) / 2 + m;
}
inline std::size_t half_doubles(int p) {
  return 4 * static_cast<std::size_t>(p + 1) * (p + 2);
}

// The floating-point control word of the calling thread, carried into the
// threads of a parallel region so that they compute with the same mode
// (subnormals flushed or not) as the caller.
struct FpMode {
#if defined(__x86_64__) || defined(__SSE__)
  unsigned csr = _mm_getcsr();
  void apply() const {
    _mm_setcsr(csr);
  }
#else
  void apply() const {}
#endif
};

// Processor seconds of the process (all threads).
double process_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Processor seconds of the calling thread.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Scratch of one thread.
struct ThreadScratch {
  std::vector<Complex> rtab, gtab, stab;       // harmonics of one point
  std::vector<Complex> fa, fb, fc;             // full-layout cells for the translations
  std::vector<double> acc;                     // direct multipole-to-local sums
  std::vector<double> hre, him;                // padded harmonics of one point
  std::vector<double> pad;                     // 8 padded arrays: moments or local expansion
  std::vector<double> lane_store;              // lane moments and rows (64-byte aligned in it)
  double* lane_acc = nullptr;
  double* lane_rows = nullptr;
  std::vector<Complex> twork;                  // rotation translations
  std::vector<int> ltarg;                      // TRIINT target list (count first)
  std::vector<std::int64_t> base, step, kpos;  // cache positions of the targets
  std::vector<double> yloc;                    // the targets' entries of y
  std::vector<int> iwork;                      // TRIINT integer work
  std::vector<double> rwork;                   // TRIINT results and real work
  NearCoef coef{};
  TriintWork work{};
  std::vector<int> telem;                      // shared targets: elements
  std::vector<double> tx, ty, tz;              //   and collocation points (padded)
  std::vector<double> rows;                    // node rows, then edge rows

  ThreadScratch(int p, std::size_t twork_size, int padded, const PointKernels& pk) {
    lane_store.resize(pk.acc_size() + pk.rows_size() + 8);
    auto addr = reinterpret_cast<std::uintptr_t>(lane_store.data());
    lane_acc = lane_store.data() + ((64 - addr % 64) % 64) / sizeof(double);
    lane_rows = lane_acc + pk.acc_size();
    const std::size_t cell = static_cast<std::size_t>(ExpanView<Complex>::cell_size(p));
    rtab.resize(regular_table_size(p));
    gtab.resize(gradient_table_size(p));
    stab.resize(irregular_table_size(p));
    fa.resize(cell);
    fb.resize(cell);
    fc.resize(cell);
    acc.resize(8 * static_cast<std::size_t>(2 * p + 1));
    hre.resize(padded);
    him.resize(padded);
    pad.resize(8 * static_cast<std::size_t>(padded));
    twork.resize(twork_size);
    ltarg.resize(kChunk + 1);
    base.resize(kChunk);
    step.resize(kChunk);
    kpos.resize(kChunk);
    yloc.resize(3 * static_cast<std::size_t>(kChunk));
    iwork.resize(kTriintInts * kChunk);
    rwork.resize(kTriintReals * kChunk);
    carve_triint_arrays(rwork.data(), iwork.data(), kChunk, coef, work);
    telem.resize(kChunk);
    tx.resize(kChunk);
    ty.resize(kChunk);
    tz.resize(kChunk);
  }
  std::size_t bytes() const {
    return sizeof(Complex) * (rtab.size() + gtab.size() + stab.size() + fa.size() + fb.size() +
                              fc.size() + twork.size()) +
           sizeof(double) *
               (acc.size() + hre.size() + him.size() + pad.size() + lane_store.size() +
                rwork.size() + yloc.size() +
                tx.size() + ty.size() + tz.size() + rows.size()) +
           sizeof(int) * (ltarg.size() + iwork.size() + telem.size()) +
           sizeof(std::int64_t) * (base.size() + step.size() + kpos.size());
  }
};

// A cell with near-field work: its targets are ielord(tfst..tlst), its
// sources the elements of near_src[src_begin..src_end) in that order.
struct NearCell {
  int cell = 0;
  int tfst = 0, tlst = 0;
  int src_begin = 0, src_end = 0;
  std::int64_t nsrc = 0;          // number of source elements
  std::int64_t cache_offset = 0;  // first double of its cached blocks
  std::int64_t src_width = 0;     // sum of the block widths of its sources
};

// Cells of one level with one ancestor kBatchLevels up integrated together: for each
// source cell of the union of their near-field lists (ascending, which is
// the order of every member's own list), one TRIINT call per source element
// serves the targets of every member that has that source cell in its list.
// A target thus receives its sources in the order of its own list, while
// the calls get longer target lists (the cost per pair of a call falls with
// its length).  src_begin..src_end index the source entries of the batch
// (batch_src, batch_mem_ptr).
struct NearBatch {
  int src_begin = 0, src_end = 0;
};

// Nodes and edges of a near-field source cell, for the TRIINT rows its
// elements share: global node numbers at nodes[node_begin..node_end), edges
// as pairs (lower-numbered node, higher) of local node indices at
// 2 edge_begin.., and per element of the cell (tree order) its three local
// vertex indices and the local indices of its edges 1-2, 2-3, 3-1 at
// 6 elem_begin...
struct SourceGeometry {
  int node_begin = 0, node_end = 0;
  int edge_begin = 0, edge_end = 0;
  int elem_begin = 0;
};

// A sibling that receives one source cell of a batch: its position in the
// level's near-field cells and the position, in its own source list, of
// the source cell's first element.
struct BatchMember {
  int cell_index = 0;
  std::int64_t first_source = 0;  // in doubles per target: the widths of the sources before
};

// Order in which DNWRD adds the three source components into target
// component i (0-based): the Stokeslet terms of the other components
// (ascending), then the traction-kernel terms of all three, then the
// Stokeslet term of component i.  A component with a prescribed traction
// carries a velocity (traction-kernel term), the others a traction
// (Stokeslet term); so each row adds each component exactly once.
void term_order(const MeshView& mesh, int e, int ord[3][3]) {
  bool tr[3];
  for (int j = 0; j < 3; ++j) tr[j] = mesh.traction_prescribed(e, j + 1);
  for (int i = 0; i < 3; ++i) {
    int c = 0;
    for (int j = 0; j < 3; ++j)
      if (j != i && !tr[j]) ord[i][c++] = j;
    for (int j = 0; j < 3; ++j)
      if (tr[j]) ord[i][c++] = j;
    if (!tr[i]) ord[i][c++] = i;
  }
}

// Doubles of one cached block for source element e: a source whose three
// components have the same kind of boundary condition has a symmetric
// folded block (-U or T, both symmetric), kept as its six entries 11, 12,
// 13, 22, 23, 33; any other source keeps all nine, row by row in the order
// of term_order.
int block_width(const MeshView& mesh, int e) {
  const bool t1 = mesh.traction_prescribed(e, 1), t2 = mesh.traction_prescribed(e, 2),
             t3 = mesh.traction_prescribed(e, 3);
  return (t1 == t2 && t2 == t3) ? 6 : 9;
}

// Index of entry (i, j) of a symmetric 3x3 block among its six stored ones.
constexpr int kSym6[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};

}  // namespace

struct FmmEngine::Impl {
  MeshView mesh;
  Tree tree;
  EngineParams par;
  int p = 0;
  std::size_t hcell = 0;
  double* mom = nullptr;  // half-layout moments, cell c at (c-1) * hcell
  double* loc = nullptr;  // half-layout local expansions
  Translations kernels = Translations::Rotation;
  M2LOperator op;
  std::unique_ptr<PointKernels> pk;
  int nthreads = 1;
  std::vector<ThreadScratch> scratch;
  EngineTimers timers;
  std::vector<double> busy;  // processor seconds of each thread in one loop

  // Leaves of levels >= 2 with elements (moments and evaluation).
  std::vector<int> leaves;
  // Non-leaf cells of each level 2..nlev-1 that receive their children's
  // moments, per level; children in increasing cell order.
  std::vector<std::vector<int>> m2m_cells;
  std::vector<int> child_ptr, child_list;  // indexed by cell: children child_list[ptr(c)..ptr(c+1))
  // Cells of levels 2..nlev and their interaction lists.
  std::vector<int> m2l_cells, inter_ptr, inter_list;
  // With the rotation kernels, the multipole-to-local work of sibling
  // targets (the cells of m2l_cells[grp_first[g]..grp_first[g+1])) is one
  // list grp_entries[grp_ptr[g]..grp_ptr[g+1]) of (target, source) entries
  // ordered by the tabulated polar angle of the offset, and grp_pair[i]
  // marks an entry translated together with the next one (same angle).
  struct M2LEntry {
    int target = 0;  // position in m2l_cells
    int source = 0;  // cell
  };
  std::vector<int> grp_first, grp_ptr;
  std::vector<M2LEntry> grp_entries;
  std::vector<unsigned char> grp_pair;
  // Cells of each level 3..nlev (local-to-local).
  std::vector<std::vector<int>> l2l_cells;
  // Near-field cells per group: group 0 the leaves of levels 0 and 1, then
  // levels 2..nlev.
  std::vector<std::vector<NearCell>> near_groups;
  std::vector<int> near_src;  // source cells of the near-field lists
  // The near-field cells of each group in batches of siblings.
  std::vector<std::vector<NearBatch>> near_batches;
  std::vector<int> batch_src, batch_mem_ptr;
  std::vector<BatchMember> batch_mem;
  // Shared-row geometry of the source cells: geo_slot[c] - 1 indexes
  // src_geo (0: the cell calls TRIINT per element).
  std::vector<int> geo_slot;
  std::vector<SourceGeometry> src_geo;
  std::vector<int> geo_nodes, geo_edges, geo_elems;
  int max_rows = 0;  // largest nodes + edges of a sharing cell

  std::size_t list_bytes = 0;
  std::int64_t near_pairs = 0;
  std::int64_t cache_doubles = 0;  // size of the near-field cache
  bool cache_on = false, cache_filled = false;
  LargeArray<double> cache;

  double* mom_cell(int c) const { return mom + static_cast<std::size_t>(c - 1) * hcell; }
  double* loc_cell(int c) const { return loc + static_cast<std::size_t>(c - 1) * hcell; }
  bool leaf(int c, int lev) const { return is_leaf(tree, c, lev, par.maxl, par.minlev); }

  void build_lists();
  void unpack(const double* h, Complex* full) const;
  void pack(const Complex* full, double* h) const;
  void zero_full(Complex* full) const;
  void translate_m2l(const Complex* m, const double xh[3], Complex* l, ThreadScratch& s) const;
  void translate_m2m(const Complex* mc, const double d[3], Complex* mp, ThreadScratch& s) const;
  void translate_l2l(const Complex* lp, const double d[3], Complex* lc, ThreadScratch& s) const;
  void leaf_moments(int b, int mode, const double* x, ThreadScratch& s) const;
  void gather_children(int par_cell, ThreadScratch& s) const;
  void local_from_interactions(int b, int pos, ThreadScratch& s) const;
  void local_from_group(int g, ThreadScratch& s) const;
  void local_from_parent(int b, ThreadScratch& s) const;
  void make_batches();
  void make_source_geometry();
  void pair_interactions();
  // Sum of the block widths of the elements of cell c.
  std::int64_t cell_width(int c) const {
    std::int64_t w = 0;
    for (int pos = tree.fst(c); pos <= tree.lst(c); ++pos) w += block_width(mesh, tree.elord(pos));
    return w;
  }
  void near_batch(const NearBatch& nb, const std::vector<NearCell>& cells, int mode,
                  const double* x, double* y, ThreadScratch& s, bool fill) const;
  void near_cell_cached(const NearCell& nc, const double* x, double* y, ThreadScratch& s) const;
  void evaluate(int b, double* y, ThreadScratch& s) const;
};

// ---------------------------------------------------------------------------
// Lists.

namespace {

// Integer position of a cell centre on the grid of its level:
// floor((c - corner) / size) per coordinate, corner the root's low corner.
struct GridKey {
  static std::int64_t key(const long i[3]) {
    return (static_cast<std::int64_t>(i[0]) << 42) | (static_cast<std::int64_t>(i[1]) << 21) |
           static_cast<std::int64_t>(i[2]);
  }
};

}  // namespace

void FmmEngine::Impl::build_lists() {
  const Tree& t = tree;
  const int nlev = *t.nlev;
  const int ncell = t.ncell();

  // Children of every cell, in increasing cell order.
  child_ptr.assign(ncell + 2, 0);
  for (int c = 1; c <= ncell; ++c) {
    int n = 0;
    for (int o = 1; o <= 8; ++o) n += t.child(c, o) != 0 ? 1 : 0;
    child_ptr[c + 1] = child_ptr[c] + n;
  }
  child_list.resize(child_ptr[ncell + 1]);
  for (int c = 1; c <= ncell; ++c) {
    int* out = child_list.data() + child_ptr[c];
    int n = 0;
    for (int o = 1; o <= 8; ++o)
      if (t.child(c, o) != 0) out[n++] = t.child(c, o);
    std::sort(out, out + n);
  }

  for (int lev = 2; lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b)
      if (leaf(b, lev) && t.lst(b) >= t.fst(b)) leaves.push_back(b);

  m2m_cells.assign(std::max(nlev, 0) + 1, {});
  for (int lev = 2; lev <= nlev - 1; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b)
      if (child_ptr[b + 1] > child_ptr[b]) m2m_cells[lev].push_back(b);

  l2l_cells.assign(std::max(nlev, 0) + 1, {});
  for (int lev = 3; lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) l2l_cells[lev].push_back(b);

  near_groups.assign(std::max(nlev, 1) + 1, {});
  // Leaves of levels 0 and 1 (a tree built with minlev below 2): every
  // element of the mesh is a source, in ielord order (the root's run).
  for (int lev = 0; lev <= 1 && lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) {
      if (!(leaf(b, lev) && t.lst(b) >= t.fst(b))) continue;
      NearCell nc;
      nc.cell = b;
      nc.tfst = t.fst(b);
      nc.tlst = t.lst(b);
      nc.src_begin = static_cast<int>(near_src.size());
      near_src.push_back(1);
      nc.src_end = static_cast<int>(near_src.size());
      nc.nsrc = t.lst(1) - t.fst(1) + 1;
      near_groups[0].push_back(nc);
    }
  if (nlev < 2) return;

  // Cells of each level by grid position, for the adjacency scan.  Two
  // cells of a level are adjacent (centre distance below 1.8 edges) exactly
  // when their grid positions differ by at most one in every coordinate
  // (distance at most sqrt(3) edges; otherwise at least 2); the candidates
  // found on the grid are then put through the same test as the passes.
  const double size0 = t.size(0);
  double corner[3];
  for (int k = 0; k < 3; ++k) corner[k] = t.cen(1, k + 1) - size0 / 2.0;
  std::vector<std::vector<std::pair<std::int64_t, int>>> grid(nlev + 1);
  const bool grid_ok = nlev <= 20;
  auto position = [&](int c, int lev, long i[3]) {
    for (int k = 0; k < 3; ++k)
      i[k] = static_cast<long>(std::floor((t.cen(c, k + 1) - corner[k]) / t.size(lev)));
  };
  if (grid_ok) {
    for (int lev = 1; lev <= nlev; ++lev) {
      auto& g = grid[lev];
      for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
        long i[3];
        position(c, lev, i);
        g.emplace_back(GridKey::key(i), c);
      }
      std::sort(g.begin(), g.end());
    }
  }
  // Cells Q of level lev adjacent to cell c of the same level, ascending.
  std::vector<int> adj;
  auto adjacent_cells = [&](int c, int lev) {
    adj.clear();
    if (grid_ok) {
      long i[3];
      position(c, lev, i);
      const long lim = 1L << 21;
      for (long dx = -1; dx <= 1; ++dx)
        for (long dy = -1; dy <= 1; ++dy)
          for (long dz = -1; dz <= 1; ++dz) {
            const long j[3] = {i[0] + dx, i[1] + dy, i[2] + dz};
            if (j[0] < 0 || j[1] < 0 || j[2] < 0 || j[0] >= lim || j[1] >= lim || j[2] >= lim)
              continue;
            const std::int64_t key = GridKey::key(j);
            const auto& g = grid[lev];
            auto it = std::lower_bound(g.begin(), g.end(), std::make_pair(key, 0));
            for (; it != g.end() && it->first == key; ++it) adj.push_back(it->second);
          }
      std::sort(adj.begin(), adj.end());
      adj.erase(std::unique(adj.begin(), adj.end()), adj.end());
      // The exact test of the passes on the candidates.
      adj.erase(std::remove_if(adj.begin(), adj.end(),
                               [&](int q) { return !cells_adjacent(t, c, q, t.size(lev)); }),
                adj.end());
    } else {
      for (int q = t.levf(lev); q <= t.levl(lev); ++q)
        if (cells_adjacent(t, c, q, t.size(lev))) adj.push_back(q);
    }
  };

  inter_ptr.push_back(0);
  std::vector<int> coarse, neigh, inter;
  for (int lev = 2; lev <= nlev; ++lev) {
    int last_parent = -1;
    std::vector<int> padj;
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) {
      const int par_cell = t.parent(b);
      if (par_cell != last_parent) {
        adjacent_cells(par_cell, lev - 1);
        padj = adj;
        last_parent = par_cell;
      }
      coarse.clear();
      neigh.clear();
      inter.clear();
      for (int q : padj) {
        if (leaf(q, lev - 1)) {
          coarse.push_back(q);
          continue;
        }
        for (int o = 1; o <= 8; ++o) {
          const int c = t.child(q, o);
          if (c == 0) continue;
          if (cells_adjacent(t, b, c, t.size(lev)))
            neigh.push_back(c);
          else
            inter.push_back(c);
        }
      }
      m2l_cells.push_back(b);
      inter_list.insert(inter_list.end(), inter.begin(), inter.end());
      inter_ptr.push_back(static_cast<int>(inter_list.size()));

      NearCell nc;
      nc.cell = b;
      nc.tfst = t.fst(b);
      nc.tlst = t.lst(b);
      nc.src_begin = static_cast<int>(near_src.size());
      near_src.insert(near_src.end(), coarse.begin(), coarse.end());
      if (leaf(b, lev)) near_src.insert(near_src.end(), neigh.begin(), neigh.end());
      nc.src_end = static_cast<int>(near_src.size());
      for (int i = nc.src_begin; i < nc.src_end; ++i)
        nc.nsrc += t.lst(near_src[i]) - t.fst(near_src[i]) + 1;
      if (nc.nsrc > 0 && nc.tlst >= nc.tfst) near_groups[lev - 1].push_back(nc);
    }
  }
  // near_groups[0]: levels 0 and 1; near_groups[lev - 1]: level lev >= 2.
}

void FmmEngine::Impl::make_batches() {
  const Tree& t = tree;
  near_batches.assign(near_groups.size(), {});
  batch_mem_ptr.assign(1, 0);
  // One batch of the cells [a, b) of a group; with `merge` the union of
  // their (ascending) lists, otherwise a single cell's list as it stands.
  auto add_batch = [&](std::size_t g, const std::vector<NearCell>& cells, int a, int b,
                       bool merge) {
    NearBatch nb;
    nb.src_begin = static_cast<int>(batch_src.size());
    if (!merge) {
      const NearCell& nc = cells[a];
      std::int64_t first = 0;
      for (int i = nc.src_begin; i < nc.src_end; ++i) {
        const int sc = near_src[i];
        batch_src.push_back(sc);
        batch_mem.push_back({a, first});
        batch_mem_ptr.push_back(static_cast<int>(batch_mem.size()));
        first += cell_width(sc);
      }
    } else {
      std::vector<int> u;
      for (int c = a; c < b; ++c)
        u.insert(u.end(), near_src.begin() + cells[c].src_begin,
                 near_src.begin() + cells[c].src_end);
      std::sort(u.begin(), u.end());
      u.erase(std::unique(u.begin(), u.end()), u.end());
      std::vector<int> cursor(b - a);
      std::vector<std::int64_t> first(b - a, 0);
      for (int c = a; c < b; ++c) cursor[c - a] = cells[c].src_begin;
      for (int sc : u) {
        batch_src.push_back(sc);
        for (int c = a; c < b; ++c) {
          int& k = cursor[c - a];
          if (k < cells[c].src_end && near_src[k] == sc) {
            batch_mem.push_back({c, first[c - a]});
            first[c - a] += cell_width(sc);
            ++k;
          }
        }
        batch_mem_ptr.push_back(static_cast<int>(batch_mem.size()));
      }
    }
    nb.src_end = static_cast<int>(batch_src.size());
    near_batches[g].push_back(nb);
  };
  for (std::size_t g = 0; g < near_groups.size(); ++g) {
    const std::vector<NearCell>& cells = near_groups[g];
    const int n = static_cast<int>(cells.size());
    for (int a = 0; a < n;) {
      int b = a + 1;
      auto ancestor = [&t](int c) {
        for (int up = 0; up < kBatchLevels && c > 0; ++up) c = t.parent(c);
        return c;
      };
      if (g > 0)
        while (b < n && ancestor(cells[b].cell) == ancestor(cells[a].cell)) ++b;
      // Siblings merge when every list is strictly ascending (as the list
      // rules make them); otherwise each keeps its own order.
      bool ascending = true;
      for (int c = a; c < b; ++c)
        for (int i = cells[c].src_begin + 1; i < cells[c].src_end; ++i)
          ascending = ascending && near_src[i - 1] < near_src[i];
      if (b - a > 1 && ascending) {
        add_batch(g, cells, a, b, true);
      } else {
        for (int c = a; c < b; ++c) add_batch(g, cells, c, c + 1, false);
      }
      a = b;
    }
  }
}

// Groups the targets of the multipole-to-local pass by parent, orders the
// entries of a group by polar angle (stable: the targets in list order, each
// target's sources in the order of its list; offsets off the table first)
// and pairs neighbours of one tabulated angle.
void FmmEngine::Impl::pair_interactions() {
  struct Key {
    std::ptrdiff_t angle;
    M2LEntry e;
  };
  std::vector<Key> key;
  const int n = static_cast<int>(m2l_cells.size());
  grp_ptr.assign(1, 0);
  for (int a = 0; a < n;) {
    int b = a + 1;
    while (b < n && tree.parent(m2l_cells[b]) == tree.parent(m2l_cells[a])) ++b;
    key.clear();
    for (int pos = a; pos < b; ++pos) {
      const int c = m2l_cells[pos];
      for (int i = inter_ptr[pos]; i < inter_ptr[pos + 1]; ++i) {
        const int f = inter_list[i];
        const double xh[3] = {tree.cen(c, 1) - tree.cen(f, 1), tree.cen(c, 2) - tree.cen(f, 2),
                              tree.cen(c, 3) - tree.cen(f, 3)};
        key.push_back({m2l_angle_index(op, xh), {pos, f}});
      }
    }
    std::stable_sort(key.begin(), key.end(),
                     [](const Key& x, const Key& y) { return x.angle < y.angle; });
    for (std::size_t i = 0; i < key.size();) {
      grp_entries.push_back(key[i].e);
      const bool two =
          i + 1 < key.size() && key[i].angle >= 0 && key[i].angle == key[i + 1].angle;
      grp_pair.push_back(two ? 1 : 0);
      if (two) {
        grp_entries.push_back(key[i + 1].e);
        grp_pair.push_back(0);
      }
      i += two ? 2 : 1;
    }
    grp_first.push_back(a);
    grp_ptr.push_back(static_cast<int>(grp_entries.size()));
    a = b;
  }
  grp_first.push_back(n);
}

// Nodes and edges of every near-field source cell, in order of first
// appearance; a cell with more than kMaxSharedRows of them keeps slot 0.
void FmmEngine::Impl::make_source_geometry() {
  geo_slot.assign(static_cast<std::size_t>(tree.ncell()) + 1, 0);
  std::vector<int> local(static_cast<std::size_t>(mesh.nnode) + 1, -1);
  std::vector<int> head, next;  // edges of each local lower node, as linked lists
  for (int sc : batch_src) {
    if (geo_slot[sc] != 0) continue;
    SourceGeometry g;
    g.node_begin = static_cast<int>(geo_nodes.size());
    g.edge_begin = static_cast<int>(geo_edges.size() / 2);
    g.elem_begin = static_cast<int>(geo_elems.size() / 6);
    head.clear();
    next.clear();
    for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
      const int e = tree.elord(pos);
      int lv[3];
      for (int v = 0; v < 3; ++v) {
        const int node = mesh.node(e, v + 1);
        if (local[node] < 0) {
          local[node] = static_cast<int>(geo_nodes.size()) - g.node_begin;
          geo_nodes.push_back(node);
          head.push_back(-1);
        }
        lv[v] = local[node];
      }
      int le[3];
      for (int j = 0; j < 3; ++j) {
        int lo = lv[j], hi = lv[(j + 1) % 3];
        if (geo_nodes[g.node_begin + lo] > geo_nodes[g.node_begin + hi]) std::swap(lo, hi);
        int k = head[lo];
        while (k >= 0 && geo_edges[2 * (g.edge_begin + k) + 1] != hi) k = next[k];
        if (k < 0) {
          k = static_cast<int>(geo_edges.size() / 2) - g.edge_begin;
          geo_edges.push_back(lo);
          geo_edges.push_back(hi);
          next.push_back(head[lo]);
          head[lo] = k;
        }
        le[j] = k;
      }
      geo_elems.insert(geo_elems.end(), {lv[0], lv[1], lv[2], le[0], le[1], le[2]});
    }
    g.node_end = static_cast<int>(geo_nodes.size());
    g.edge_end = static_cast<int>(geo_edges.size() / 2);
    for (int i = g.node_begin; i < g.node_end; ++i) local[geo_nodes[i]] = -1;
    const int nrows = (g.node_end - g.node_begin) + (g.edge_end - g.edge_begin);
    if (nrows > kMaxSharedRows) {
      geo_nodes.resize(g.node_begin);
      geo_edges.resize(2 * static_cast<std::size_t>(g.edge_begin));
      geo_elems.resize(6 * static_cast<std::size_t>(g.elem_begin));
      continue;
    }
    src_geo.push_back(g);
    geo_slot[sc] = static_cast<int>(src_geo.size());
    max_rows = std::max(max_rows, nrows);
  }
  for (ThreadScratch& s : scratch) s.rows.resize(static_cast<std::size_t>(max_rows) * kChunk);
}

// ---------------------------------------------------------------------------
// Layout conversions and translations.

void FmmEngine::Impl::unpack(const double* h, Complex* full) const {
  const ExpanView<Complex> f(full, p);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const double* e = h + 8 * hidx(n, m);
      for (int j = 0; j < 4; ++j) {
        const double re = e[j], im = e[4 + j];
        f(j + 1, m, n, 1) = Complex(re, im);
        if (m > 0) f(j + 1, -m, n, 1) = (m % 2 == 0) ? Complex(re, -im) : Complex(-re, im);
      }
    }
}

void FmmEngine::Impl::pack(const Complex* full, double* h) const {
  const ExpanView<const Complex> f(full, p);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      double* e = h + 8 * hidx(n, m);
      for (int j = 0; j < 4; ++j) {
        const Complex v = f(j + 1, m, n, 1);
        e[j] = v.real();
        e[4 + j] = v.imag();
      }
    }
}

void FmmEngine::Impl::zero_full(Complex* full) const {
  std::fill(full, full + ExpanView<Complex>::cell_size(p), Complex(0.0, 0.0));
}

// The direct translations (Translations::Direct), full layout.
void FmmEngine::Impl::translate_m2l(const Complex* m_full, const double xh[3], Complex* l_full,
                                    ThreadScratch& s) const {
  direct_m2l_add(p, m_full, xh, l_full, s.stab.data(), s.fc.data(), s.acc.data());
}

void FmmEngine::Impl::translate_m2m(const Complex* mc_full, const double d[3], Complex* mp_full,
                                    ThreadScratch& s) const {
  direct_m2m_add(p, mc_full, d, mp_full, s.rtab.data(), s.fc.data());
}

void FmmEngine::Impl::translate_l2l(const Complex* lp_full, const double d[3], Complex* lc_full,
                                    ThreadScratch& s) const {
  direct_l2l_add(p, lp_full, d, lc_full, s.rtab.data(), s.fc.data());
}

// ---------------------------------------------------------------------------
// Phases.

// The moments of leaf b (UPWRD step 1), orders m >= 0, accumulated over
// the Gauss points of its elements in padded arrays and then stored in the
// half layout.  Per point, with W = gwt(q) area:
//   X_j += (W mu u_j) n.grad R + (W mu n_j) u.grad R - (W t_j) R,   j = 1..3,
//   X_4 += (W mu yhat.u) n.grad R + (W mu n.yhat) u.grad R - (W yhat.t) R;
// an element without velocity (u = 0) adds only the R terms.
void FmmEngine::Impl::leaf_moments(int b, int mode, const double* x, ThreadScratch& s) const {
  const PointKernels& k = *pk;
  const int ps = k.size();
  double* xr[4];
  double* xi[4];
  for (int j = 0; j < 4; ++j) {
    xr[j] = s.pad.data() + static_cast<std::size_t>(j) * ps;
    xi[j] = s.pad.data() + static_cast<std::size_t>(4 + j) * ps;
  }
  std::fill(s.pad.begin(), s.pad.end(), 0.0);
  const double mu = par.mu;
  const double c[3] = {tree.cen(b, 1), tree.cen(b, 2), tree.cen(b, 3)};
  bool lanes_used = false;
  for (int pos = tree.fst(b); pos <= tree.lst(b); ++pos) {
    const int e = tree.elord(pos);
    double u[3], t[3];
    element_densities(mesh, e, mode, x, u, t);
    const bool has_u = u[0] != 0.0 || u[1] != 0.0 || u[2] != 0.0;
    const bool has_t = t[0] != 0.0 || t[1] != 0.0 || t[2] != 0.0;
    if (!has_u && !has_t) continue;
    const ElementGeometry geo = element_geometry(mesh, e);
    const double* nv = geo.normal;
    const int n1 = mesh.node(e, 1), n2 = mesh.node(e, 2), n3 = mesh.node(e, 3);
    // Gauss point q relative to the cell centre.
    auto gauss_point = [&](int q, double yh[3]) {
      const double xi1 = par.gpt[3 * (q - 1)], xi2 = par.gpt[3 * (q - 1) + 1],
                   xi3 = par.gpt[3 * (q - 1) + 2];
      for (int i = 1; i <= 3; ++i) {
        const double yq = xi1 * mesh.x(n1, i) + xi2 * mesh.x(n2, i) + xi3 * mesh.x(n3, i);
        yh[i - 1] = yq - c[i - 1];
      }
    };
    // Without a velocity density the Gauss points go to the lane moments,
    // kLanes at a time: X_j -= t_j w_q R_q (j = 1..3), X_4 -= w_q (y_q . t) R_q.
    if (!has_u) {
      if (!lanes_used) std::fill(s.lane_acc, s.lane_acc + k.acc_size(), 0.0);
      lanes_used = true;
      constexpr int L = PointKernels::kLanes;
      for (int q0 = 1; q0 <= par.ngauss; q0 += L) {
        alignas(64) double lx[L] = {}, ly[L] = {}, lz[L] = {}, la[L] = {}, lb[L] = {};
        for (int l = 0; l < L && q0 + l <= par.ngauss; ++l) {
          const int q = q0 + l;
          double yh[3];
          gauss_point(q, yh);
          const double w = par.gwt[q - 1] * geo.area;
          const double yt = yh[0] * t[0] + yh[1] * t[1] + yh[2] * t[2];
          lx[l] = yh[0];
          ly[l] = yh[1];
          lz[l] = yh[2];
          la[l] = -w;
          lb[l] = -(w * yt);
        }
        k.add_lane_moments(lx, ly, lz, la, lb, t, s.lane_acc, s.lane_rows);
      }
      continue;
    }
    for (int q = 1; q <= par.ngauss; ++q) {
      double yh[3];
      gauss_point(q, yh);
      k.harmonics(yh[0], yh[1], yh[2], s.hre.data(), s.him.data());
      const double w = par.gwt[q - 1] * geo.area;
      const double yu = yh[0] * u[0] + yh[1] * u[1] + yh[2] * u[2];
      const double ny = nv[0] * yh[0] + nv[1] * yh[1] + nv[2] * yh[2];
      const double yt = yh[0] * t[0] + yh[1] * t[1] + yh[2] * t[2];
      const double wm = w * mu;
      const double ca[4] = {wm * u[0], wm * u[1], wm * u[2], wm * yu};
      const double cb[4] = {wm * nv[0], wm * nv[1], wm * nv[2], wm * ny};
      const double cc[4] = {-(w * t[0]), -(w * t[1]), -(w * t[2]), -(w * yt)};
      k.add_moments(s.hre.data(), s.him.data(), nv, u, ca, cb, cc, has_u, xr, xi);
    }
  }
  double* h = mom_cell(b);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      double* e8 = h + 8 * hidx(n, m);
      const int i = k.index(n, m);
      for (int j = 0; j < 4; ++j) {
        e8[j] = xr[j][i];
        e8[4 + j] = xi[j][i];
      }
    }
  if (lanes_used) k.lane_sums(s.lane_acc, h);
}

// The moments of a non-leaf cell: the sum of its children's, translated, in
// increasing cell order.
void FmmEngine::Impl::gather_children(int pc, ThreadScratch& s) const {
  if (kernels == Translations::Rotation) {
    double* h = mom_cell(pc);
    std::fill(h, h + hcell, 0.0);
    for (int i = child_ptr[pc]; i < child_ptr[pc + 1]; ++i) {
      const int c = child_list[i];
      const double d[3] = {tree.cen(c, 1) - tree.cen(pc, 1), tree.cen(c, 2) - tree.cen(pc, 2),
                           tree.cen(c, 3) - tree.cen(pc, 3)};
      m2m_add_half(op, mom_cell(c), d, h, s.twork.data());
    }
    return;
  }
  Complex* acc = s.fa.data();
  Complex* child = s.fb.data();
  zero_full(acc);
  for (int i = child_ptr[pc]; i < child_ptr[pc + 1]; ++i) {
    const int c = child_list[i];
    const double d[3] = {tree.cen(c, 1) - tree.cen(pc, 1), tree.cen(c, 2) - tree.cen(pc, 2),
                         tree.cen(c, 3) - tree.cen(pc, 3)};
    unpack(mom_cell(c), child);
    translate_m2m(child, d, acc, s);
  }
  pack(acc, mom_cell(pc));
}

// The local expansion of cell b from its interaction list (position pos in
// m2l_cells), written over loc(b).
// The local expansions of a group of sibling targets from their entries,
// with moments referred to the root's centre (see the pass): each target
// adds its sources in the group's order, then the one correction of its
// fourth expansion.
void FmmEngine::Impl::local_from_group(int g, ThreadScratch& s) const {
  for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) {
    double* h = loc_cell(m2l_cells[pos]);
    std::fill(h, h + hcell, 0.0);
  }
  auto offset_to = [&](const M2LEntry& e, double xh[3]) {
    const int b = m2l_cells[e.target];
    for (int k = 0; k < 3; ++k) xh[k] = tree.cen(b, k + 1) - tree.cen(e.source, k + 1);
  };
  for (int i = grp_ptr[g]; i < grp_ptr[g + 1]; ++i) {
    const M2LEntry& e = grp_entries[i];
    double xh[3];
    offset_to(e, xh);
    double* h = loc_cell(m2l_cells[e.target]);
    if (grp_pair[i]) {
      const M2LEntry& f = grp_entries[++i];
      double xf[3];
      offset_to(f, xf);
      m2l_add_half_pair_origin(op, mom_cell(e.source), xh, mom_cell(f.source), xf, h,
                               loc_cell(m2l_cells[f.target]), s.twork.data());
    } else {
      m2l_add_half_origin(op, mom_cell(e.source), xh, h, s.twork.data());
    }
  }
  for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) {
    const int b = m2l_cells[pos];
    const double d[3] = {tree.cen(b, 1) - tree.cen(1, 1), tree.cen(b, 2) - tree.cen(1, 2),
                         tree.cen(b, 3) - tree.cen(1, 3)};
    refer_to_origin(p, d, -1.0, loc_cell(b));
  }
}

// The local expansion of target b by the direct double sums of the passes
// (Translations::Direct), its list in order.
void FmmEngine::Impl::local_from_interactions(int b, int pos, ThreadScratch& s) const {
  Complex* acc = s.fa.data();
  Complex* src = s.fb.data();
  zero_full(acc);
  for (int i = inter_ptr[pos]; i < inter_ptr[pos + 1]; ++i) {
    const int f = inter_list[i];
    const double xh[3] = {tree.cen(b, 1) - tree.cen(f, 1), tree.cen(b, 2) - tree.cen(f, 2),
                          tree.cen(b, 3) - tree.cen(f, 3)};
    unpack(mom_cell(f), src);
    translate_m2l(src, xh, acc, s);
  }
  pack(acc, loc_cell(b));
}

// loc(b) += the parent's local expansion moved to b's centre.
void FmmEngine::Impl::local_from_parent(int b, ThreadScratch& s) const {
  const int pc = tree.parent(b);
  const double d[3] = {tree.cen(b, 1) - tree.cen(pc, 1), tree.cen(b, 2) - tree.cen(pc, 2),
                       tree.cen(b, 3) - tree.cen(pc, 3)};
  if (kernels == Translations::Rotation) {
    l2l_add_half(op, loc_cell(pc), d, loc_cell(b), s.twork.data());
    return;
  }
  Complex* acc = s.fa.data();
  Complex* parent = s.fb.data();
  unpack(loc_cell(b), acc);
  unpack(loc_cell(pc), parent);
  translate_l2l(parent, d, acc, s);
  pack(acc, loc_cell(b));
}

// The near field of a batch of cells by TRIINT, DNWRD step 5; with `fill`
// the folded blocks are also stored in the cache.  For each source cell of
// the batch, the targets of its members are cut into TRIINT lists of at
// most kChunk; each source element of the cell is integrated over a list
// and its six terms per target component added in the order of DNWRD.
void FmmEngine::Impl::near_batch(const NearBatch& nb, const std::vector<NearCell>& cells, int mode,
                                 const double* x, double* y, ThreadScratch& s, bool fill) const {
  const NearCoef& c = s.coef;
  std::int64_t* base = s.base.data();
  std::int64_t* step = s.step.data();
  std::int64_t* kpos = s.kpos.data();
  for (int is = nb.src_begin; is < nb.src_end; ++is) {
    const int sc = batch_src[is];
    const int m0 = batch_mem_ptr[is], m1 = batch_mem_ptr[is + 1];
    // Walk the members' targets in chunks.
    int mem = m0, k = 0;  // next target: member mem, position k in its cell
    while (mem < m1) {
      int nbt = 0;
      while (nbt < kChunk && mem < m1) {
        const NearCell& nc = cells[batch_mem[mem].cell_index];
        const int nt = nc.tlst - nc.tfst + 1;
        s.ltarg[1 + nbt] = tree.elord(nc.tfst + k);
        if (fill) {
          // Block (source at width prefix w, target k) at
          // cache_offset + nt (first_source + w) + k width.
          base[nbt] = nc.cache_offset + nt * batch_mem[mem].first_source;
          step[nbt] = nt;
          kpos[nbt] = k;
        }
        ++nbt;
        if (++k == nt) {
          ++mem;
          k = 0;
        }
      }
      s.ltarg[0] = nbt;
      // The targets' entries of y, held in a local array while the source
      // cell's elements are added (the same additions in the same order;
      // y itself is read and written once per source cell, so threads
      // working on neighbouring elements do not share its cache lines
      // element by element).
      double* yl = s.yloc.data();
      for (int i = 0; i < nbt; ++i) {
        const double* yg = y + 3 * static_cast<std::int64_t>(s.ltarg[1 + i] - 1);
        yl[3 * i] = yg[0];
        yl[3 * i + 1] = yg[1];
        yl[3 * i + 2] = yg[2];
      }
      // Shared targets and the rows of the cell's nodes and edges.
      const SourceGeometry* geo = geo_slot[sc] > 0 ? &src_geo[geo_slot[sc] - 1] : nullptr;
      TriintTargets tg;
      const double* node_rows = s.rows.data();
      const double* edge_rows = nullptr;
      if (geo != nullptr) {
        const int np = triint_padded(nbt);
        for (int i = 0; i < np; ++i) {
          const int e = s.ltarg[1 + std::min(i, nbt - 1)];
          s.telem[i] = e;
          s.tx[i] = mesh.col(e, 1);
          s.ty[i] = mesh.col(e, 2);
          s.tz[i] = mesh.col(e, 3);
        }
        tg.n = nbt;
        tg.elem = s.telem.data();
        tg.x = s.tx.data();
        tg.y = s.ty.data();
        tg.z = s.tz.data();
        double* row = s.rows.data();
        for (int i = geo->node_begin; i < geo->node_end; ++i, row += kChunk) {
          const int node = geo_nodes[i];
          const double pnt[3] = {mesh.x(node, 1), mesh.x(node, 2), mesh.x(node, 3)};
          triint_node_row(tg, pnt, row);
        }
        edge_rows = row;
        for (int i = geo->edge_begin; i < geo->edge_end; ++i, row += kChunk) {
          const int lo = geo_edges[2 * i], hi = geo_edges[2 * i + 1];
          const int a = geo_nodes[geo->node_begin + lo], b = geo_nodes[geo->node_begin + hi];
          const double pa[3] = {mesh.x(a, 1), mesh.x(a, 2), mesh.x(a, 3)};
          const double pb[3] = {mesh.x(b, 1), mesh.x(b, 2), mesh.x(b, 3)};
          triint_edge_row(tg, triint_edge_length(pa, pb), node_rows + lo * kChunk,
                          node_rows + hi * kChunk, row);
        }
      }
      std::int64_t wpre = 0;  // widths of the source cell's elements before pos
      for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
        const int e = tree.elord(pos);
        double u[3], t[3];
        element_densities(mesh, e, mode, x, u, t);
        // A source without a velocity density (mode 1, all three velocities
        // prescribed) needs the Stokeslet alone; its folded block, if it is
        // cached, holds -U only.  The traction-kernel terms, zeros, are then
        // left out of the sums, and the Stokeslet is the same bits.
        const bool folds_t = fill && (mesh.traction_prescribed(e, 1) ||
                                      mesh.traction_prescribed(e, 2) ||
                                      mesh.traction_prescribed(e, 3));
        const bool need_t = folds_t || u[0] != 0.0 || u[1] != 0.0 || u[2] != 0.0;
        double normal[3];
        const TriintParts parts = need_t ? TriintParts::All : TriintParts::StokesletOnly;
        if (geo != nullptr) {
          const int* loc = &geo_elems[6 * static_cast<std::size_t>(geo->elem_begin + pos - tree.fst(sc))];
          TriintSourceRows rows;
          for (int j = 0; j < 3; ++j) {
            rows.r[j] = node_rows + loc[j] * kChunk;
            rows.f[j] = edge_rows + loc[3 + j] * kChunk;
          }
          triint_shared(mesh, par.mu, par.snaptol, tg, rows, c, normal, e, parts);
        } else {
          triint_with(TriintMath::Vector, mesh, par.mu, par.snaptol, s.ltarg.data(), c, s.work,
                      normal, e, parts);
        }
        if (need_t)
          for (int i = 0; i < nbt; ++i) add_near_terms(c, i, u, t, yl + 3 * i);
        else
          for (int i = 0; i < nbt; ++i) add_near_terms_stokeslet(c, i, t, yl + 3 * i);
        if (fill) {
          // Folded block of mode 1: entry (r, j) is T(r, j) for a component
          // j with a prescribed traction, else -U(r, j); nine entries with
          // the row r in the order of the additions above (j = ord[r][q]),
          // or the six of a symmetric block.
          const int w = block_width(mesh, e);
          const double* src[9];
          double sgn[9];
          if (w == 9) {
            int ord[3][3];
            term_order(mesh, e, ord);
            for (int r = 0; r < 3; ++r)
              for (int q = 0; q < 3; ++q) {
                const int j = ord[r][q];
                const bool tr = mesh.traction_prescribed(e, j + 1);
                src[3 * r + q] = tr ? c.t[3 * r + j] : c.u[kSym6[r][j]];
                sgn[3 * r + q] = tr ? 1.0 : -1.0;
              }
          } else {
            const bool tr = mesh.traction_prescribed(e, 1);
            static constexpr int kRow[6] = {0, 0, 0, 1, 1, 2}, kCol[6] = {0, 1, 2, 1, 2, 2};
            for (int q = 0; q < 6; ++q) {
              src[q] = tr ? c.t[3 * kRow[q] + kCol[q]] : c.u[q];
              sgn[q] = tr ? 1.0 : -1.0;
            }
          }
          for (int i = 0; i < nbt; ++i) {
            double* out = cache.get() + base[i] + step[i] * wpre + kpos[i] * w;
            for (int q = 0; q < w; ++q) out[q] = sgn[q] * src[q][i];
          }
          wpre += w;
        }
      }
      for (int i = 0; i < nbt; ++i) {
        double* yg = y + 3 * static_cast<std::int64_t>(s.ltarg[1 + i] - 1);
        yg[0] = yl[3 * i];
        yg[1] = yl[3 * i + 1];
        yg[2] = yl[3 * i + 2];
      }
    }
  }
}

// The near field of mode 1 from the cache: for each source, in list order,
// and each target, y_i += K'(i,0) x_(ord 0) + K'(i,1) x_(ord 1) + K'(i,2) x_(ord 2)
// added one term at a time, the order of the integration path.
void FmmEngine::Impl::near_cell_cached(const NearCell& nc, const double* x, double* y,
                                       ThreadScratch& s) const {
  const int nt = nc.tlst - nc.tfst + 1;
  const int* targets = tree.ielord + (nc.tfst - 1);
  double* yl = s.yloc.data();
  // Targets in pieces of kChunk, their entries of y held locally while
  // every source is added.
  for (int t0 = 0; t0 < nt; t0 += kChunk) {
    const int nb = std::min(kChunk, nt - t0);
    for (int k = 0; k < nb; ++k) {
      const double* yg = y + 3 * static_cast<std::int64_t>(targets[t0 + k] - 1);
      yl[3 * k] = yg[0];
      yl[3 * k + 1] = yg[1];
      yl[3 * k + 2] = yg[2];
    }
    const double* col = cache.get() + nc.cache_offset;  // blocks of the current source
    for (int ic = nc.src_begin; ic < nc.src_end; ++ic) {
      const int sc = near_src[ic];
      for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
        const int e = tree.elord(pos);
        const int w = block_width(mesh, e);
        int ord[3][3];
        term_order(mesh, e, ord);
        // Position of each term's entry in the block.
        int at[3][3];
        for (int r = 0; r < 3; ++r)
          for (int q = 0; q < 3; ++q) at[r][q] = w == 9 ? 3 * r + q : kSym6[r][ord[r][q]];
        const double* xe = x + 3 * static_cast<std::int64_t>(e - 1);
        const double a0 = xe[ord[0][0]], a1 = xe[ord[0][1]], a2 = xe[ord[0][2]];
        const double b0 = xe[ord[1][0]], b1 = xe[ord[1][1]], b2 = xe[ord[1][2]];
        const double c0 = xe[ord[2][0]], c1 = xe[ord[2][1]], c2 = xe[ord[2][2]];
        const int p00 = at[0][0], p01 = at[0][1], p02 = at[0][2];
        const int p10 = at[1][0], p11 = at[1][1], p12 = at[1][2];
        const int p20 = at[2][0], p21 = at[2][1], p22 = at[2][2];
        const double* blk = col + static_cast<std::int64_t>(t0) * w;
        for (int k = 0; k < nb; ++k, blk += w) {
          double* yg = yl + 3 * k;
          double v = yg[0];
          v += blk[p00] * a0;
          v += blk[p01] * a1;
          v += blk[p02] * a2;
          yg[0] = v;
          v = yg[1];
          v += blk[p10] * b0;
          v += blk[p11] * b1;
          v += blk[p12] * b2;
          yg[1] = v;
          v = yg[2];
          v += blk[p20] * c0;
          v += blk[p21] * c1;
          v += blk[p22] * c2;
          yg[2] = v;
        }
        col += static_cast<std::int64_t>(nt) * w;
      }
    }
    for (int k = 0; k < nb; ++k) {
      double* yg = y + 3 * static_cast<std::int64_t>(targets[t0 + k] - 1);
      yg[0] = yl[3 * k];
      yg[1] = yl[3 * k + 1];
      yg[2] = yl[3 * k + 2];
    }
  }
}

// DNWRD step 6 at leaf b from the orders m >= 0: the terms of orders -m and
// m have the same real part, so
//   y_i += kappa sum_n [ Re z(n,0) + 2 sum_{m>0} Re z(n,m) ],
//   z(n,m) = L_i R(n,m) + d_i R(n,m) (L_4 - xhat . L_(1..3)),
// with the weights 1 and 2 put into a padded copy of the expansion.
void FmmEngine::Impl::evaluate(int b, double* y, ThreadScratch& s) const {
  const PointKernels& k = *pk;
  const int ps = k.size();
  const double kappa = 1.0 / (kEightPi * par.mu);
  double* lr[4];
  double* li[4];
  for (int j = 0; j < 4; ++j) {
    lr[j] = s.pad.data() + static_cast<std::size_t>(j) * ps;
    li[j] = s.pad.data() + static_cast<std::size_t>(4 + j) * ps;
  }
  std::fill(s.pad.begin(), s.pad.end(), 0.0);
  const double* l = loc_cell(b);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const double* e8 = l + 8 * hidx(n, m);
      const double wt = m == 0 ? 1.0 : 2.0;
      const int i = k.index(n, m);
      for (int j = 0; j < 4; ++j) {
        lr[j][i] = wt * e8[j];
        li[j][i] = wt * e8[4 + j];
      }
    }
  const double* const clr[4] = {lr[0], lr[1], lr[2], lr[3]};
  const double* const cli[4] = {li[0], li[1], li[2], li[3]};
  for (int pos = tree.fst(b); pos <= tree.lst(b); ++pos) {
    const int g = tree.elord(pos);
    const double xh[3] = {mesh.col(g, 1) - tree.cen(b, 1), mesh.col(g, 2) - tree.cen(b, 2),
                          mesh.col(g, 3) - tree.cen(b, 3)};
    k.harmonics(xh[0], xh[1], xh[2], s.hre.data(), s.him.data());
    double sum[3];
    k.evaluate(s.hre.data(), s.him.data(), xh, clr, cli, sum);
    for (int i = 0; i < 3; ++i) y[3 * static_cast<std::int64_t>(g - 1) + i] += kappa * sum[i];
  }
}

// ---------------------------------------------------------------------------

FmmEngine::FmmEngine(const MeshView& mesh, const Tree& tree, const EngineParams& par, Complex* cmom,
                     Complex* cloc, Translations kernels)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.mesh = mesh;
  d.tree = tree;
  d.par = par;
  d.p = par.p;
  d.hcell = half_doubles(par.p);
  d.mom = reinterpret_cast<double*>(cmom);
  d.loc = reinterpret_cast<double*>(cloc);
  d.kernels = kernels;
  // The expansions of the tree's cells: huge pages for their first touch.
  const std::size_t used = sizeof(double) * d.hcell * static_cast<std::size_t>(tree.ncell());
  advise_huge_pages(d.mom, used);
  advise_huge_pages(d.loc, used);
  if (kernels == Translations::Rotation) m2l_prepare(d.op, d.p);
  d.nthreads = std::max(1, omp_get_max_threads());
  d.busy.assign(d.nthreads, 0.0);
  const std::size_t tw = kernels == Translations::Rotation ? m2l_work_size(d.p) : 0;
  d.scratch.reserve(d.nthreads);
  d.pk = std::make_unique<PointKernels>(d.p);
  for (int i = 0; i < d.nthreads; ++i) d.scratch.emplace_back(d.p, tw, d.pk->size(), *d.pk);
  d.build_lists();
  if (kernels == Translations::Rotation) d.pair_interactions();

  // Sizes of the lists and of the cache.
  std::int64_t npairs = 0, ndoubles = 0;
  for (auto& g : d.near_groups)
    for (NearCell& nc : g) {
      for (int i = nc.src_begin; i < nc.src_end; ++i) nc.src_width += d.cell_width(d.near_src[i]);
      const std::int64_t nt = nc.tlst - nc.tfst + 1;
      nc.cache_offset = ndoubles;
      ndoubles += nc.src_width * nt;
      npairs += nc.nsrc * nt;
    }
  d.near_pairs = npairs;
  d.cache_doubles = ndoubles;
  d.make_batches();
  d.make_source_geometry();
  std::size_t nearcells = 0;
  for (const auto& g : d.near_groups) nearcells += g.size();
  std::size_t levcells = 0;
  for (const auto& v : d.m2m_cells) levcells += v.size();
  for (const auto& v : d.l2l_cells) levcells += v.size();
  d.list_bytes =
      sizeof(int) * (d.leaves.size() + d.child_ptr.size() + d.child_list.size() +
                     d.m2l_cells.size() + d.inter_ptr.size() + d.inter_list.size() +
                     2 * d.grp_entries.size() + d.grp_pair.size() / sizeof(int) +
                     d.grp_first.size() + d.grp_ptr.size() +
                     d.near_src.size() + levcells + d.batch_src.size() + d.batch_mem_ptr.size() +
                     d.geo_slot.size() + d.geo_nodes.size() + d.geo_edges.size() +
                     d.geo_elems.size()) +
      sizeof(SourceGeometry) * d.src_geo.size() +
      sizeof(BatchMember) * d.batch_mem.size() + sizeof(NearCell) * nearcells;
}

FmmEngine::~FmmEngine() = default;

std::size_t FmmEngine::near_cache_bytes() const {
  return sizeof(double) * static_cast<std::size_t>(impl_->cache_doubles);
}

void FmmEngine::enable_near_cache() {
  Impl& d = *impl_;
  if (d.cache_on) return;
  d.cache.reset(static_cast<std::size_t>(d.cache_doubles));
  d.cache_on = true;
  d.cache_filled = false;
}

bool FmmEngine::near_cache_enabled() const {
  return impl_->cache_on;
}

std::size_t FmmEngine::fixed_bytes() const {
  const Impl& d = *impl_;
  std::size_t b = d.list_bytes;
  for (const auto& s : d.scratch) b += s.bytes();
  if (d.kernels == Translations::Rotation) b += d.op.memory_bytes();
  return b;
}

std::int64_t FmmEngine::m2l_pairs() const {
  return static_cast<std::int64_t>(impl_->inter_list.size());
}

int FmmEngine::threads() const {
  return impl_->nthreads;
}

EngineTimers& FmmEngine::timers() {
  return impl_->timers;
}

void FmmEngine::apply(int mode, const double* x, double* y) {
  Impl& d = *impl_;
  const Tree& t = d.tree;
  const int nlev = *t.nlev;
  const int nth = d.nthreads;
  const FpMode fp;
  EngineTimers& tm = d.timers;
  double t0 = omp_get_wtime(), c0 = process_seconds(), crit = 0.0;
  auto lap = [&](double PhaseTimes::*slot) {
    const double t1 = omp_get_wtime(), c1 = process_seconds();
    tm.wall.*slot += t1 - t0;
    tm.cpu.*slot += c1 - c0;
    tm.critical.*slot += crit;
    t0 = t1;
    c0 = c1;
    crit = 0.0;
  };
  // body(i, scratch) for i = 0..n-1 on the engine's threads, each thread
  // taking the next index when it is free; the longest processor time of
  // one thread in the loop is added to crit.
  std::vector<double>& busy = d.busy;
  auto parallel_for = [&](int n, auto&& body) {
    if (n <= 0) return;
    std::fill(busy.begin(), busy.end(), 0.0);
#pragma omp parallel num_threads(nth)
    {
      fp.apply();
      const int tid = omp_get_thread_num();
      ThreadScratch& s = d.scratch[tid];
      const double b0 = thread_seconds();
#pragma omp for schedule(dynamic, 1) nowait
      for (int i = 0; i < n; ++i) body(i, s);
      busy[tid] = thread_seconds() - b0;
    }
    crit += *std::max_element(busy.begin(), busy.end());
  };

  // 1. Leaf moments.
  parallel_for(static_cast<int>(d.leaves.size()),
               [&](int i, ThreadScratch& s) { d.leaf_moments(d.leaves[i], mode, x, s); });
  lap(&PhaseTimes::moments);

  // 2. Moment to moment, deepest parents first.
  for (int lev = nlev - 1; lev >= 2; --lev) {
    const std::vector<int>& cells = d.m2m_cells[lev];
    parallel_for(static_cast<int>(cells.size()),
                 [&](int i, ThreadScratch& s) { d.gather_children(cells[i], s); });
  }
  lap(&PhaseTimes::m2m);

  // 3. Multipole to local for every cell of levels 2..nlev; with the
  // rotation kernels the moments are first referred to the root's centre
  // (they are not read again in this product).
  if (d.kernels == Translations::Rotation && nlev >= 2) {
    const int first = t.levf(2), last = t.levl(nlev);
    parallel_for(last - first + 1, [&](int i, ThreadScratch&) {
      const int c = first + i;
      const double dc[3] = {t.cen(c, 1) - t.cen(1, 1), t.cen(c, 2) - t.cen(1, 2),
                            t.cen(c, 3) - t.cen(1, 3)};
      refer_to_origin(d.p, dc, 1.0, d.mom_cell(c));
    });
  }
  if (d.kernels == Translations::Rotation)
    parallel_for(static_cast<int>(d.grp_first.size()) - 1,
                 [&](int g, ThreadScratch& s) { d.local_from_group(g, s); });
  else
    parallel_for(static_cast<int>(d.m2l_cells.size()), [&](int i, ThreadScratch& s) {
      d.local_from_interactions(d.m2l_cells[i], i, s);
    });
  lap(&PhaseTimes::m2l);

  // 4. Local to local, level by level.
  for (int lev = 3; lev <= nlev; ++lev) {
    const std::vector<int>& cells = d.l2l_cells[lev];
    parallel_for(static_cast<int>(cells.size()),
                 [&](int i, ThreadScratch& s) { d.local_from_parent(cells[i], s); });
  }
  lap(&PhaseTimes::l2l);

  // 5. Near field, level by level.
  const bool use_cache = d.cache_on && d.cache_filled && mode == 1;
  const bool fill = d.cache_on && !d.cache_filled;
  for (std::size_t g = 0; g < d.near_groups.size(); ++g) {
    const std::vector<NearCell>& cells = d.near_groups[g];
    const std::vector<NearBatch>& batches = d.near_batches[g];
    if (use_cache)
      parallel_for(static_cast<int>(cells.size()),
                   [&](int i, ThreadScratch& s) { d.near_cell_cached(cells[i], x, y, s); });
    else
      parallel_for(static_cast<int>(batches.size()), [&](int i, ThreadScratch& s) {
        d.near_batch(batches[i], cells, mode, x, y, s, fill);
      });
  }
  if (fill) d.cache_filled = true;
  if (use_cache)
    tm.near_pairs_cached += d.near_pairs;
  else
    tm.near_pairs_integrated += d.near_pairs;
  lap(&PhaseTimes::near);

  // 6. Evaluation at the leaves.
  parallel_for(static_cast<int>(d.leaves.size()),
               [&](int i, ThreadScratch& s) { d.evaluate(d.leaves[i], y, s); });
  lap(&PhaseTimes::eval);
  ++tm.products;
}

}  // namespace velmora
