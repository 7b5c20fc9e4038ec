// Internals of the fast engine (fmm/engine.hpp) shared by the files of its
// stages: the engine's state (FmmEngine::Impl), the per-thread scratch, the
// near-field cell and batch records and the helpers of the half layout and
// of the near-field cache.  Each stage is defined in its own file:
//   engine.cpp          construction, sizes, the product (phase order, timers)
//   engine_lists.cpp    cell lists, near-field batches, multipole-to-local
//                       groups, shared-row source geometry
//   engine_layout.cpp   half <-> full layout, the direct translations
//   engine_moments.cpp  phase 1: leaf moments
//   engine_m2m.cpp      phase 2: moment to moment
//   engine_m2l.cpp      phase 3: multipole to local
//   engine_l2l.cpp      phase 4: local to local
//   engine_near.cpp     phase 5: near field by TRIINT or from the cache
//   engine_eval.cpp     phase 6: evaluation at the leaves
//   engine_ghosts.cpp   owner-computes moments of a run of several processes
// Conventions (layout, ordering, determinism) are those of fmm/engine.hpp.
#pragma once

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
#include "common/comm.hpp"
#include "common/constants.hpp"
#include "common/large_array.hpp"
#include "fmm/direct_translate.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/expansion.hpp"
#include "fmm/m2l.hpp"
#include "fmm/m2l_order.hpp"
#include "fmm/partition.hpp"
#include "fmm/passes.hpp"
#include "fmm/point_kernels.hpp"

namespace velmora {
namespace engine_detail {

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
inline double process_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Processor seconds of the calling thread.
inline double thread_seconds() {
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
  std::int64_t shared_pairs = 0;               // pairs taken from templates

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
inline void term_order(const MeshView& mesh, int e, int ord[3][3]) {
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
inline int block_width(const MeshView& mesh, int e) {
  const bool t1 = mesh.traction_prescribed(e, 1), t2 = mesh.traction_prescribed(e, 2),
             t3 = mesh.traction_prescribed(e, 3);
  return (t1 == t2 && t2 == t3) ? 6 : 9;
}

// Index of entry (i, j) of a symmetric 3x3 block among its six stored ones.
constexpr int kSym6[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};


}  // namespace engine_detail

using namespace engine_detail;

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
  // Operators of the lower orders that the multipole-to-local entries use
  // (EngineTrades::m2l_order_by_distance): op_low[q] of order q, prepared
  // only for the orders in use.
  std::vector<M2LOperator> op_low;
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
  // grp_order[i] is the order of entry i (p unless the order is chosen by
  // distance; then the group is ordered by order, then angle, and pairs
  // share both).
  struct M2LEntry {
    int target = 0;  // position in m2l_cells
    int source = 0;  // cell
  };
  std::vector<int> grp_first, grp_ptr;
  std::vector<M2LEntry> grp_entries;
  std::vector<unsigned char> grp_pair;
  std::vector<unsigned char> grp_order;
  // The multipole-to-local work of a set of targets in groups of siblings,
  // laid out as the grp_* arrays above (the product's cells, or the field's
  // targets): group_interactions builds it for target positions 0..n-1,
  // m2l_group translates one group.
  struct M2LGroups {
    std::vector<int> first, ptr;
    std::vector<M2LEntry> entries;
    std::vector<unsigned char> pair, order;
  };
  // Groups are the runs of consecutive positions of one parent_of(pos);
  // side_of(pos) is the cell side of the level of a group's first position;
  // offset(pos, f, xh) sets xh to the target's centre minus that of the
  // tree's cell f.
  template <class Parent, class Side, class Offset>
  void group_interactions(int n, Parent&& parent_of, Side&& side_of, Offset&& offset,
                          const std::vector<int>& iptr, const std::vector<int>& ilist,
                          M2LGroups& out);
  // The local expansions of group g's targets from their entries, with
  // moments referred to the root's centre: centre(pos, k) is coordinate k
  // (0-based) of the target's centre, local(pos) its expansion.
  template <class Centre, class Local>
  void m2l_group(const int* first, const int* ptr, const M2LEntry* entries,
                 const unsigned char* pair, const unsigned char* order, int g, Centre&& centre,
                 Local&& local, ThreadScratch& s) const;

  // Targets that are not the tree's cells (set_field_targets): their groups,
  // the tree's cells their lists read (ascending) and, per level, the
  // targets with a parent.
  FmmEngine::FieldTargets ft;
  M2LGroups ft_groups;
  std::vector<int> ft_refer;
  std::vector<std::vector<int>> ft_l2l;

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

  // The targets of a restricted product (restrict_targets): tree positions
  // own_first..own_last, and the cells whose elements meet them: leaves
  // that evaluate, multipole-to-local groups and targets, local-to-local
  // cells per level.  Unrestricted: every cell.
  bool restricted = false;
  int own_first = 1, own_last = 0;
  std::vector<int> eval_leaves;
  std::vector<int> m2l_groups;       // rotation kernels: groups g
  std::vector<int> m2l_positions;    // direct kernels: positions in m2l_cells
  std::vector<std::vector<int>> l2l_active;
  bool meets_own(int c) const {
    return !restricted || (tree.lst(c) >= tree.fst(c) && tree.fst(c) <= own_last &&
                           tree.lst(c) >= own_first);
  }
  void select_active_cells();
  void size_near_field();

  // Owner-computes moments (own_moments, engine_ghosts.cpp): this process's
  // leaves and non-leaf cells, the shared cells per level, the cells whose
  // moments it reads (referred to the root's centre with the rotation
  // kernels), and per process the cells it sends and receives (ascending).
  const Comm* comm = nullptr;
  std::vector<int> p2m_leaves;
  std::vector<std::vector<int>> m2m_own, m2m_shared;
  std::vector<int> refer_cells;
  std::vector<std::vector<int>> ghost_send, ghost_recv;
  std::vector<int> ghost_send_counts, ghost_recv_counts;
  std::vector<double> ghost_sendbuf, ghost_recvbuf;
  double ghost_seconds = 0.0;  // this process's time in the exchange, not hidden by the near field
  void plan_owned_moments(const std::vector<int>& first, const std::vector<int>& last, int me);
  // The exchange of the moments, started after the own cells' upward pass,
  // tested while the near field is computed, finished before the shared
  // cells' moments.
  CommRequest ghost_request;
  void start_ghost_moments();
  void progress_ghost_moments();
  void finish_ghost_moments();

  std::size_t list_bytes = 0;
  std::int64_t near_pairs = 0;
  std::int64_t cache_doubles = 0;  // entries of the near-field cache
  bool cache_on = false, cache_filled = false;
  // The cache in double precision, or in single precision
  // (EngineTrades::single_precision_near_cache); one of them is allocated.
  LargeArray<double> cache;
  LargeArray<float> cache32;
  bool single_cache = false;  // the blocks are kept in cache32
  // Templates of congruent bodies placed on the mesh (null: none).
  std::shared_ptr<const PlacedBlocks> placed;

  double* mom_cell(int c) const { return mom + static_cast<std::size_t>(c - 1) * hcell; }
  double* loc_cell(int c) const { return loc + static_cast<std::size_t>(c - 1) * hcell; }
  bool leaf(int c, int lev) const { return is_leaf(tree, c, lev, par.maxl, par.minlev); }

  // body(i, scratch) for i = 0..n-1 on the engine's threads, each thread
  // taking the next index when it is free, in the caller's floating-point
  // mode; returns the longest processor time one thread spent in the loop.
  template <class F>
  double parallel_for(int n, const FpMode& fp, F&& body) {
    return parallel_for(n, fp, body, [] {});
  }
  // The same, thread 0 (the thread that called, the one that may call MPI)
  // calling tick() after each of its items.
  template <class F, class T>
  double parallel_for(int n, const FpMode& fp, F&& body, T&& tick) {
    if (n <= 0) return 0.0;
    std::fill(busy.begin(), busy.end(), 0.0);
#pragma omp parallel num_threads(nthreads)
    {
      fp.apply();
      const int tid = omp_get_thread_num();
      ThreadScratch& s = scratch[tid];
      const double b0 = thread_seconds();
#pragma omp for schedule(dynamic, 1) nowait
      for (int i = 0; i < n; ++i) {
        body(i, s);
        if (tid == 0) tick();
      }
      busy[tid] = thread_seconds() - b0;
    }
    return *std::max_element(busy.begin(), busy.end());
  }

  // An engine of moments alone (EngineUse::Moments): no translation or
  // near-field lists.
  bool moments_only = false;
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
  bool shared_chunk(int sc, int nbt, const int* ltarg) const;
  void shared_sources(int sc, int nbt, const double* x, double* yl, ThreadScratch& s,
                      bool fill) const;
  void near_cell_cached(const NearCell& nc, const double* blocks, const double* x, double* y,
                        ThreadScratch& s) const;
  void near_cell_cached32(const NearCell& nc, const float* blocks, const double* x, double* y,
                          ThreadScratch& s) const;
  const M2LOperator& op_of_order(int q) const { return q >= p ? op : op_low[q]; }
  void evaluate(int b, double* y, ThreadScratch& s) const;
};

template <class Parent, class Side, class Offset>
void FmmEngine::Impl::group_interactions(int n, Parent&& parent_of, Side&& side_of, Offset&& offset,
                                         const std::vector<int>& iptr,
                                         const std::vector<int>& ilist, M2LGroups& out) {
  struct Key {
    int order;
    std::ptrdiff_t angle;
    M2LEntry e;
  };
  std::vector<Key> key;
  out.ptr.assign(1, 0);
  for (int a = 0; a < n;) {
    int b = a + 1;
    while (b < n && parent_of(b) == parent_of(a)) ++b;
    key.clear();
    const double side = side_of(a);  // siblings share their level
    for (int pos = a; pos < b; ++pos) {
      for (int i = iptr[pos]; i < iptr[pos + 1]; ++i) {
        const int f = ilist[i];
        double xh[3];
        offset(pos, f, xh);
        int order = p;
        if (par.trades.m2l_order_by_distance) {
          order = m2l_order_for_distance(
              p, std::sqrt(xh[0] * xh[0] + xh[1] * xh[1] + xh[2] * xh[2]) / side,
              par.trades.m2l_order);
        }
        key.push_back({order, m2l_angle_index(op, xh), {pos, f}});
      }
    }
    std::stable_sort(key.begin(), key.end(),
                     [](const Key& x, const Key& y) {
                       return x.order != y.order ? x.order > y.order : x.angle < y.angle;
                     });
    for (std::size_t i = 0; i < key.size();) {
      out.entries.push_back(key[i].e);
      out.order.push_back(static_cast<unsigned char>(key[i].order));
      const bool two = i + 1 < key.size() && key[i].angle >= 0 &&
                       key[i].angle == key[i + 1].angle && key[i].order == key[i + 1].order;
      out.pair.push_back(two ? 1 : 0);
      if (two) {
        out.entries.push_back(key[i + 1].e);
        out.order.push_back(static_cast<unsigned char>(key[i + 1].order));
        out.pair.push_back(0);
      }
      i += two ? 2 : 1;
    }
    out.first.push_back(a);
    out.ptr.push_back(static_cast<int>(out.entries.size()));
    a = b;
  }
  out.first.push_back(n);
  // The operators of the lower orders in use.
  op_low.resize(static_cast<std::size_t>(p));
  for (unsigned char q : out.order)
    if (q < p && op_low[q].p < 0) m2l_prepare(op_low[q], q);
}

template <class Centre, class Local>
void FmmEngine::Impl::m2l_group(const int* first, const int* ptr, const M2LEntry* entries,
                                const unsigned char* pair, const unsigned char* order, int g,
                                Centre&& centre, Local&& local, ThreadScratch& s) const {
  for (int pos = first[g]; pos < first[g + 1]; ++pos) {
    double* h = local(pos);
    std::fill(h, h + hcell, 0.0);
  }
  auto offset_to = [&](const M2LEntry& e, double xh[3]) {
    for (int k = 0; k < 3; ++k) xh[k] = centre(e.target, k) - tree.cen(e.source, k + 1);
  };
  for (int i = ptr[g]; i < ptr[g + 1]; ++i) {
    const M2LEntry& e = entries[i];
    double xh[3];
    offset_to(e, xh);
    double* h = local(e.target);
    const M2LOperator& o = op_of_order(order[i]);
    if (pair[i]) {
      const M2LEntry& f = entries[++i];
      double xf[3];
      offset_to(f, xf);
      m2l_add_half_pair_origin(o, mom_cell(e.source), xh, mom_cell(f.source), xf, h,
                               local(f.target), s.twork.data());
    } else {
      m2l_add_half_origin(o, mom_cell(e.source), xh, h, s.twork.data());
    }
  }
  for (int pos = first[g]; pos < first[g + 1]; ++pos) {
    const double d[3] = {centre(pos, 0) - tree.cen(1, 1), centre(pos, 1) - tree.cen(1, 2),
                         centre(pos, 2) - tree.cen(1, 3)};
    refer_to_origin(p, d, -1.0, local(pos));
  }
}

}  // namespace velmora
