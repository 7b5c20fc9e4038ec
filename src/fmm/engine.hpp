// The threaded fast path of the multipole product: the same operator as the
// pair UPWRD + DNWRD (same tree, lists, expansions of order p, near-field
// integrals and evaluation), computed phase by phase with every phase a
// parallel loop over cells.
//
// Phases of one product y += A x (mode 1) or y += b (mode 0):
//   1. moments   every leaf of levels >= 2 forms its moments from its
//                elements (one thread per leaf);
//   2. M2M       levels nlev-1 down to 2: every non-leaf cell gathers the
//                moments of its children, in increasing cell order;
//   3. M2L       every cell of levels 2..nlev forms its local expansion from
//                its interaction list, in list order;
//   4. L2L       levels 3..nlev: every cell adds its parent's expansion;
//   5. near      levels in increasing order (the leaves of levels 0 and 1
//                first), the cells of a level in parallel: each target
//                receives the sources of its cell's near-field list in list
//                order, integrated by TRIINT (siblings together: one call per
//                source element serves every sibling that lists it) or taken
//                from the near-field cache;
//   6. eval      every leaf evaluates its local expansion at its elements.
// Each parallel loop writes disjoint data (a cell's expansion, or the
// entries of y of a cell's elements, and the cells of one level hold
// disjoint elements), and every sum is formed in an order fixed by the tree
// alone, so the result is the same bits for any number of threads.  For
// each entry of y the contributions arrive in the order of DNWRD: near
// field level by level, then the evaluation at its leaf.
//
// Expansions are held in the half layout (orders m >= 0 only) inside the
// cmom and cloc arrays of the caller: the expansions of real densities obey
// X(j,-m,n) = (-1)^m conj X(j,m,n), so the negative orders carry no
// information.  Entry (n,m), 0 <= m <= n <= p, of a cell starts at double
// 8 (n(n+1)/2 + m) of the cell's 4(p+1)(p+2) doubles and holds Re X(1..4)
// then Im X(1..4).  A cell of order p thus takes a quarter to a third of
// its ExpanView room, and the arrays are touched only for the cells of the
// tree.
//
// Near-field cache.  The near field of mode 1 is the same linear map at
// every product.  When the cache is enabled (before the first product), the
// first product that integrates the near field (any mode) also keeps, for
// every source-target pair, the 3x3 block folded with the source's boundary
// codes (column j = T(.,j) for a prescribed traction, -U(.,j) otherwise),
// each row stored in the order in which DNWRD adds its terms, so that later
// mode-1 products give the same values as the integration.  A source whose
// three components have the same kind of condition has a symmetric block
// (-U or T) and keeps its six distinct entries.  The size, 48 or 72 bytes
// per pair, is known from the tree and the codes before any product.
//
// The stages are defined one per file (engine_lists.cpp, engine_moments.cpp,
// engine_m2m.cpp, engine_m2l.cpp, engine_l2l.cpp, engine_near.cpp,
// engine_eval.cpp; engine_impl.hpp holds the state they share).
//
// Extra memory (beyond the caller's arrays), fixed at construction: the cell
// lists (4 bytes per list entry), per-thread scratch and the operators of
// the translations, plus the near-field cache when enabled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bem/mesh.hpp"
#include "fmm/congruent_blocks.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l_order.hpp"
#include "common/comm.hpp"
#include "fmm/tree.hpp"

namespace velmora {

// Trades of the fast path against the operator of the passes.  With both
// off (the default) the engine reproduces UPWRD + DNWRD to rounding; each
// trade changes the product by far less than the truncation of the
// expansions at order p (bench/product_accuracy.sh measures both against
// the dense product).
struct EngineTrades {
  // Multipole-to-local translations over offsets longer than the shortest
  // carried to the lower order at which their truncation stays below that
  // of the shortest (fmm/m2l_order.hpp).
  bool m2l_order_by_distance = false;
  M2LOrderModel m2l_order;
  // Near-field cache blocks kept in single precision (half the bytes; the
  // products still add in double precision, in the same order).
  bool single_precision_near_cache = false;
};

// The parameters of the operator, as the passes take them.
struct EngineParams {
  double mu = 1.0;
  double snaptol = 0.0;
  int minlev = 2;
  int maxl = 1;
  int p = 0;  // nexp
  int ngauss = 0;
  const double* gwt = nullptr;  // Gauss rule: weights
  const double* gpt = nullptr;  // and area coordinates, 3 per point
  EngineTrades trades;          // all off: the operator of the passes
};

// Which routines translate the expansions: the direct double sums of the
// passes, O(p^4) per multipole-to-local pair, or rotate - shift along z -
// rotate back, O(p^3) (fmm/m2l.hpp).  Both give the same operator to
// rounding.
enum class Translations { Direct, Rotation };

// What an engine is built for: products (every phase), or the moments alone
// (phases 1 and 2: the evaluation of the flow at points of the fluid, whose
// targets are not the collocation points, fmm/field_fmm.hpp).  An engine of
// moments builds no translation or near-field lists and takes no product.
enum class EngineUse { Product, Moments };

// Seconds per phase, summed over products.
struct PhaseTimes {
  double moments = 0.0, m2m = 0.0, m2l = 0.0, l2l = 0.0, near = 0.0, eval = 0.0;
  double total() const { return moments + m2m + m2l + l2l + near + eval; }
};

// Per phase: wall-clock seconds, processor seconds of the whole process
// (all threads), and the critical path: over the phase's parallel loops,
// the sum of the longest processor time one thread spent in each loop,
// which is the wall-clock time the phase takes when every thread has a
// processor to itself (on a shared machine the wall-clock time is longer).
// And counts.
struct EngineTimers {
  PhaseTimes wall, cpu, critical;
  std::int64_t products = 0;
  std::int64_t near_pairs_integrated = 0;  // pairs through TRIINT
  std::int64_t near_pairs_cached = 0;      // pairs taken from the cache
  std::int64_t near_pairs_shared = 0;      // pairs taken from congruent templates
};

class FmmEngine {
 public:
  // cmom and cloc: the caller's expansion arrays with room for at least
  // tree.ncell() cells of ExpanView layout of order p (only the first
  // ncell half-layout cells are used; an engine of moments takes no cloc).  The mesh, tree and Gauss rule must
  // stay valid and unchanged while the engine lives.  The engine uses the
  // number of OpenMP threads current at construction.
  FmmEngine(const MeshView& mesh, const Tree& tree, const EngineParams& par, Complex* cmom,
            Complex* cloc, Translations kernels = Translations::Rotation,
            EngineUse use = EngineUse::Product);
  ~FmmEngine();
  FmmEngine(const FmmEngine&) = delete;
  FmmEngine& operator=(const FmmEngine&) = delete;

  // y += the operator applied to the densities of `mode` (0: minus the
  // prescribed values, x not read; 1: the vector x), as UPWRD followed by
  // DNWRD with the same mode.  The caller clears y.
  void apply(int mode, const double* x, double* y);

  // Phases 1 and 2 alone, on this process: the moments of every cell of
  // levels >= 2 for the densities of `mode` (fmm/passes.hpp,
  // element_densities; mode 2 takes u and t in full), the same bits as the
  // moments of a product of those densities.  moments(c) is then cell c's,
  // in the half layout (entry (n, m) at 8 (n(n+1)/2 + m) doubles), until the
  // next call or product (a product's multipole-to-local phase refers the
  // moments to the root's centre in place).
  void form_moments(int mode, const double* x);
  const double* moments(int c) const;
  // Doubles of one cell's expansion in the half layout: 4 (p+1) (p+2).
  std::size_t half_cell_doubles() const;

  // Targets that are not the tree's cells, for an engine of moments (which
  // then forms the moments of levels 0 and 1 too): the field's target cells
  // on the tree's grid (fmm/field_tree.hpp).  Target i has its centre at
  // cen[3i..3i+2], lies on `level` (cell side tree.size(0) / 2^level), has
  // the parent target parent[i] (-1: none; parents come before their
  // children, siblings are consecutive) and the interaction list
  // inter_list[inter_ptr[i]..inter_ptr[i+1]) of the tree's cells of its
  // level.  Their multipole-to-local work is grouped, ordered, paired and
  // given its orders as the product's cells' is.
  struct FieldTargets {
    std::vector<double> cen;
    std::vector<int> level, parent, inter_ptr, inter_list;
  };
  void set_field_targets(FieldTargets targets);
  // Phases 3 and 4 for those targets, after form_moments: the local
  // expansion of every target i with active[i] set, half layout, at
  // loc + i half_cell_doubles() (active must hold the parent of every
  // active target).  A group of siblings with an active member is formed
  // whole, so that a target's bits do not depend on which others are
  // active (the processes of a distributed evaluation activate theirs).
  // The moments read are referred to the root's centre in place.
  void field_locals(const std::vector<char>& active, double* loc);

  // Near-field cache.  near_cache_bytes() is what it takes; enable it before
  // the first product (it is allocated then and filled by the first product
  // that integrates the near field).
  std::size_t near_cache_bytes() const;
  void enable_near_cache();
  bool near_cache_enabled() const;

  // Near-field blocks of bodies that are copies of a template
  // (fmm/congruent_blocks.hpp): products of mode 1 that integrate the near
  // field (the first, which fills the cache) take a placed body's pairs
  // with itself from its template instead, wherever a target chunk and a
  // source cell lie in one placed body.  The templates hold the blocks in
  // single precision, so only an engine whose cache keeps them so
  // (EngineTrades::single_precision_near_cache) takes them.  Set before
  // the first product; null stops it.
  void use_congruent_blocks(std::shared_ptr<const PlacedBlocks> placed);

  // Distribution of the product among processes.  leaf_work(): the leaves
  // of levels >= 2 in tree order (their elements at tree positions
  // first..last, ielord order), with the work their targets take in one
  // product in integer units (fmm/partition.hpp).  restrict_targets(first,
  // last): from then on apply() forms only the entries of y of the elements
  // at tree positions first..last (a run of whole leaves; empty when last <
  // first), each to the same bits as the whole product, and leaves the other
  // entries as they were; the moments are still formed from every element
  // (but see own_moments).
  // Only the cells above those targets translate and evaluate, and the
  // near-field lists and cache shrink to those targets.  Call before
  // enabling the cache and before the first product.
  struct LeafWork {
    int first = 0, last = -1;
    std::int64_t work = 0;
  };
  std::vector<LeafWork> leaf_work() const;
  void restrict_targets(int first, int last);
  // After restrict_targets, in a run of several processes whose runs of
  // tree positions are first[r]..last[r] (this process's among them, as
  // restricted): from then on apply() forms the moments of the cells this
  // process owns only, and receives those it reads from their owners in each
  // product (engine_ghosts.cpp), to the same bits.  Every process must call
  // it, with the same runs.  One process: nothing changes.
  void own_moments(const Comm& comm, const std::vector<int>& first, const std::vector<int>& last);
  // The plan own_moments follows, for process `me` of the runs, worked out
  // without a process layer (tests check it for virtual processes): the
  // leaves and non-leaf cells whose moments the process forms (its own, and
  // the shared cells every process forms), and per process the cells it
  // sends and receives, ascending.
  struct MomentPlan {
    std::vector<int> leaves, own_cells, shared_cells;
    std::vector<std::vector<int>> send, recv;
  };
  MomentPlan moment_plan(const std::vector<int>& first, const std::vector<int>& last, int me);
  // The tree positions (ascending) of the elements whose densities a
  // product of mode 1 reads, as restricted and with the moments owned: the
  // elements of the leaves whose moments it forms and of the source cells
  // of its targets' near-field lists.  A process needs x only there (ghost
  // densities: the positions outside its own run come from their owners).
  std::vector<int> density_positions() const;
  // Seconds in those exchanges so far, and the cells received per product.
  double ghost_exchange_seconds() const;
  std::int64_t ghost_cells_received() const;

  // Extra memory held apart from the cache: lists, scratch, operators.
  std::size_t fixed_bytes() const;

  int threads() const;
  // Multipole-to-local translations of one product (entries of the
  // interaction lists).
  std::int64_t m2l_pairs() const;
  // Source-target pairs of the near field of one product.
  std::int64_t near_pairs() const;
  // Multipole-to-local entries per translation order 0..p (all at p unless
  // the orders are chosen by distance).
  std::vector<std::int64_t> m2l_orders() const;
  EngineTimers& timers();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
