#include "fmm/engine_impl.hpp"

#include <omp.h>

#include <limits>
#include <stdexcept>

namespace velmora {

namespace {

// Whether the near-field blocks of this mesh and viscosity lie well inside
// the range of single precision: the Stokeslet entries are about
// size / (8 pi mu) and the traction-kernel entries of order one (a
// subtended solid angle), for element sizes between the shortest and the
// longest edge, within two decades either way for the distances of the
// near field.  An extreme viscosity (or size) keeps the cache in double
// precision, where a single-precision block would overflow or lose digits
// to underflow.
bool single_precision_fits(const MeshView& mesh, double mu) {
  double hmin = std::numeric_limits<double>::infinity(), hmax = 0.0;
  for (int e = 1; e <= mesh.nelem; ++e)
    for (int v = 1; v <= 3; ++v) {
      const int a = mesh.node(e, v), b = mesh.node(e, v % 3 + 1);
      double l2 = 0.0;
      for (int k = 1; k <= 3; ++k) l2 += (mesh.x(a, k) - mesh.x(b, k)) * (mesh.x(a, k) - mesh.x(b, k));
      hmin = std::min(hmin, std::sqrt(l2));
      hmax = std::max(hmax, std::sqrt(l2));
    }
  const double scale = 1.0 / (8.0 * kPi * mu);
  const double lo = 1e-2 * hmin * scale, hi = 1e2 * hmax * scale;
  return std::isfinite(lo) && std::isfinite(hi) && lo > 1e-30 && hi < 1e30;
}

}  // namespace

FmmEngine::FmmEngine(const MeshView& mesh, const Tree& tree, const EngineParams& par, Complex* cmom,
                     Complex* cloc, Translations kernels, EngineUse use)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.moments_only = use == EngineUse::Moments;
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
  if (!d.moments_only) advise_huge_pages(d.loc, used);
  if (kernels == Translations::Rotation) m2l_prepare(d.op, d.p);
  d.nthreads = std::max(1, omp_get_max_threads());
  d.busy.assign(d.nthreads, 0.0);
  const std::size_t tw = kernels == Translations::Rotation ? m2l_work_size(d.p) : 0;
  d.scratch.reserve(d.nthreads);
  d.pk = std::make_unique<PointKernels>(d.p);
  for (int i = 0; i < d.nthreads; ++i) d.scratch.emplace_back(d.p, tw, d.pk->size(), *d.pk);
  d.build_lists();
  if (kernels == Translations::Rotation && !d.moments_only) d.pair_interactions();
  d.single_cache = par.trades.single_precision_near_cache && single_precision_fits(mesh, par.mu);
  d.size_near_field();
  d.select_active_cells();
}

// Sizes of the near-field lists and of the cache, the batches and the
// shared-row geometry of the near-field cells as they stand, and the bytes
// of all lists.
void FmmEngine::Impl::size_near_field() {
  std::int64_t npairs = 0, ndoubles = 0;
  for (auto& g : near_groups)
    for (NearCell& nc : g) {
      nc.src_width = 0;
      for (int i = nc.src_begin; i < nc.src_end; ++i) nc.src_width += cell_width(near_src[i]);
      const std::int64_t nt = nc.tlst - nc.tfst + 1;
      nc.cache_offset = ndoubles;
      ndoubles += nc.src_width * nt;
      npairs += nc.nsrc * nt;
    }
  near_pairs = npairs;
  cache_doubles = ndoubles;
  make_batches();
  make_source_geometry();
  std::size_t nearcells = 0;
  for (const auto& g : near_groups) nearcells += g.size();
  std::size_t levcells = 0;
  for (const auto& v : m2m_cells) levcells += v.size();
  for (const auto& v : l2l_cells) levcells += v.size();
  list_bytes =
      sizeof(int) * (leaves.size() + child_ptr.size() + child_list.size() +
                     m2l_cells.size() + inter_ptr.size() + inter_list.size() +
                     2 * grp_entries.size() + (grp_pair.size() + grp_order.size()) / sizeof(int) +
                     grp_first.size() + grp_ptr.size() +
                     near_src.size() + levcells + batch_src.size() + batch_mem_ptr.size() +
                     geo_slot.size() + geo_nodes.size() + geo_edges.size() +
                     geo_elems.size()) +
      sizeof(SourceGeometry) * src_geo.size() +
      sizeof(BatchMember) * batch_mem.size() + sizeof(NearCell) * nearcells;
}

// The cells of the phases after the moments that meet the targets (all of
// them when the product is not restricted).  A multipole-to-local group
// (siblings) takes part whole when one member meets the targets, so that its
// entries are translated in the same pairs as in the whole product.
void FmmEngine::Impl::select_active_cells() {
  eval_leaves.clear();
  for (int b : leaves)
    if (meets_own(b)) eval_leaves.push_back(b);
  m2l_groups.clear();
  for (int g = 0; g + 1 < static_cast<int>(grp_first.size()); ++g) {
    bool any = false;
    for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) any = any || meets_own(m2l_cells[pos]);
    if (any) m2l_groups.push_back(g);
  }
  m2l_positions.clear();
  for (int pos = 0; pos < static_cast<int>(m2l_cells.size()); ++pos)
    if (meets_own(m2l_cells[pos])) m2l_positions.push_back(pos);
  l2l_active.assign(l2l_cells.size(), {});
  for (std::size_t lev = 0; lev < l2l_cells.size(); ++lev)
    for (int c : l2l_cells[lev])
      if (meets_own(c)) l2l_active[lev].push_back(c);
}

std::vector<FmmEngine::LeafWork> FmmEngine::leaf_work() const {
  const Impl& d = *impl_;
  const Tree& t = d.tree;
  // Work per tree position: the near-field pairs of its target (one unit
  // each), plus its share of the leaf's moments and evaluation and of the
  // multipole-to-local entries of the cells above it (kElementUnits and
  // kM2LUnits pair units each: fmm/partition.hpp gives the measured rates).
  const int npos = t.lst(1) >= t.fst(1) ? t.lst(1) : 0;
  std::vector<std::int64_t> at(static_cast<std::size_t>(npos) + 2, 0);
  for (const auto& g : d.near_groups)
    for (const NearCell& nc : g)
      for (int pos = nc.tfst; pos <= nc.tlst; ++pos) at[pos] += nc.nsrc;
  std::vector<LeafWork> out;
  for (int b : d.leaves) out.push_back({t.fst(b), t.lst(b), 0});
  std::sort(out.begin(), out.end(), [](const LeafWork& a, const LeafWork& b) { return a.first < b.first; });
  for (LeafWork& w : out) {
    for (int pos = w.first; pos <= w.last; ++pos) w.work += at[pos];
    w.work += kElementUnits * (w.last - w.first + 1);
  }
  // Multipole-to-local entries of a cell, shared among its leaves by their
  // numbers of elements (integer shares: the same on every process).
  for (std::size_t pos = 0; pos < d.m2l_cells.size(); ++pos) {
    const int c = d.m2l_cells[pos];
    const std::int64_t entries = d.inter_ptr[pos + 1] - d.inter_ptr[pos];
    const std::int64_t nc = t.lst(c) - t.fst(c) + 1;
    if (entries == 0 || nc <= 0) continue;
    auto it = std::lower_bound(out.begin(), out.end(), t.fst(c),
                               [](const LeafWork& w, int f) { return w.last < f; });
    for (; it != out.end() && it->first <= t.lst(c); ++it)
      it->work += kM2LUnits * entries * (it->last - it->first + 1) / nc;
  }
  return out;
}

void FmmEngine::restrict_targets(int first, int last) {
  Impl& d = *impl_;
  d.restricted = true;
  d.own_first = first;
  d.own_last = last;
  for (auto& g : d.near_groups) {
    std::vector<NearCell> kept;
    for (NearCell nc : g) {
      nc.tfst = std::max(nc.tfst, first);
      nc.tlst = std::min(nc.tlst, last);
      if (nc.tlst >= nc.tfst) kept.push_back(nc);
    }
    g.swap(kept);
  }
  d.size_near_field();
  d.select_active_cells();
}

FmmEngine::~FmmEngine() = default;

std::size_t FmmEngine::near_cache_bytes() const {
  const std::size_t entry = impl_->single_cache ? sizeof(float) : sizeof(double);
  return entry * static_cast<std::size_t>(impl_->cache_doubles);
}

void FmmEngine::enable_near_cache() {
  Impl& d = *impl_;
  if (d.cache_on) return;
  if (d.single_cache)
    d.cache32.reset(static_cast<std::size_t>(d.cache_doubles));
  else
    d.cache.reset(static_cast<std::size_t>(d.cache_doubles));
  d.cache_on = true;
  d.cache_filled = false;
}

void FmmEngine::use_congruent_blocks(std::shared_ptr<const PlacedBlocks> placed) {
  // The templates hold the blocks as the single-precision cache does: they
  // serve an engine that keeps its cache so, and no other.
  const bool fits = impl_->single_cache && placed && placed->placed_count() > 0;
  impl_->placed = fits ? std::move(placed) : nullptr;
}

bool FmmEngine::near_cache_enabled() const {
  return impl_->cache_on;
}

std::size_t FmmEngine::fixed_bytes() const {
  const Impl& d = *impl_;
  std::size_t b = d.list_bytes;
  for (const auto& s : d.scratch) b += s.bytes();
  if (d.kernels == Translations::Rotation) {
    b += d.op.memory_bytes();
    for (const M2LOperator& o : d.op_low) b += o.memory_bytes();
  }
  return b;
}

std::int64_t FmmEngine::near_pairs() const { return impl_->near_pairs; }

std::int64_t FmmEngine::m2l_pairs() const {
  return static_cast<std::int64_t>(impl_->inter_list.size());
}

std::vector<std::int64_t> FmmEngine::m2l_orders() const {
  const Impl& d = *impl_;
  std::vector<std::int64_t> n(static_cast<std::size_t>(d.p) + 1, 0);
  if (d.kernels == Translations::Rotation)
    for (unsigned char q : d.grp_order) ++n[q];
  else
    n[d.p] = static_cast<std::int64_t>(d.inter_list.size());
  return n;
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
  if (d.moments_only) throw std::logic_error("FmmEngine::apply: an engine of moments alone");
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
  // The engine's parallel loop; the longest processor time of one thread in
  // the loop is added to crit.
  auto parallel_for = [&](int n, auto&& body) { crit += d.parallel_for(n, fp, body); };
  auto parallel_for_exchanging = [&](int n, auto&& body) {
    if (d.comm)
      crit += d.parallel_for(n, fp, body, [&] { d.progress_ghost_moments(); });
    else
      crit += d.parallel_for(n, fp, body);
  };

  // 1. Leaf moments (of this process's leaves: own_moments).
  const std::vector<int>& p2m = d.comm ? d.p2m_leaves : d.leaves;
  parallel_for(static_cast<int>(p2m.size()),
               [&](int i, ThreadScratch& s) { d.leaf_moments(p2m[i], mode, x, s); });
  lap(&PhaseTimes::moments);

  // 2. Moment to moment, deepest parents first; with owner-computes
  // moments, the own cells', then the exchange is started; it goes on
  // while the near field (which reads no expansion) is computed, and the
  // shared cells' moments follow it.  The near field writes y before the
  // evaluation adds the far field, in either order of the phases.
  auto upward = [&](const std::vector<std::vector<int>>& per_level) {
    for (int lev = nlev - 1; lev >= 2; --lev) {
      const std::vector<int>& cells = per_level[lev];
      parallel_for(static_cast<int>(cells.size()),
                   [&](int i, ThreadScratch& s) { d.gather_children(cells[i], s); });
    }
  };
  if (d.comm) {
    upward(d.m2m_own);
    d.start_ghost_moments();
  } else {
    upward(d.m2m_cells);
  }
  lap(&PhaseTimes::m2m);

  // 3. Near field, level by level (thread 0 lets the moments' exchange
  // progress between its items).
  const bool use_cache = d.cache_on && d.cache_filled && mode == 1;
  const bool fill = d.cache_on && !d.cache_filled;
  for (std::size_t g = 0; g < d.near_groups.size(); ++g) {
    const std::vector<NearCell>& cells = d.near_groups[g];
    const std::vector<NearBatch>& batches = d.near_batches[g];
    if (use_cache)
      parallel_for_exchanging(static_cast<int>(cells.size()), [&](int i, ThreadScratch& s) {
        if (d.single_cache)
          d.near_cell_cached32(cells[i], d.cache32.get(), x, y, s);
        else
          d.near_cell_cached(cells[i], d.cache.get(), x, y, s);
      });
    else
      parallel_for_exchanging(static_cast<int>(batches.size()), [&](int i, ThreadScratch& s) {
        d.near_batch(batches[i], cells, mode, x, y, s, fill);
      });
  }
  if (fill) d.cache_filled = true;
  std::int64_t shared = 0;
  for (ThreadScratch& s : d.scratch) {
    shared += s.shared_pairs;
    s.shared_pairs = 0;
  }
  if (use_cache) {
    tm.near_pairs_cached += d.near_pairs;
  } else {
    tm.near_pairs_shared += shared;
    tm.near_pairs_integrated += d.near_pairs - shared;
  }
  lap(&PhaseTimes::near);

  if (d.comm) {
    d.finish_ghost_moments();
    upward(d.m2m_shared);
    lap(&PhaseTimes::m2m);
  }

  // 4. Multipole to local for every cell of levels 2..nlev; with the
  // rotation kernels the moments are first referred to the root's centre
  // (they are not read again in this product): those this process reads.
  if (d.kernels == Translations::Rotation && d.comm) {
    parallel_for(static_cast<int>(d.refer_cells.size()), [&](int i, ThreadScratch&) {
      const int c = d.refer_cells[i];
      const double dc[3] = {t.cen(c, 1) - t.cen(1, 1), t.cen(c, 2) - t.cen(1, 2),
                            t.cen(c, 3) - t.cen(1, 3)};
      refer_to_origin(d.p, dc, 1.0, d.mom_cell(c));
    });
  } else if (d.kernels == Translations::Rotation && nlev >= 2) {
    const int first = t.levf(2), last = t.levl(nlev);
    parallel_for(last - first + 1, [&](int i, ThreadScratch&) {
      const int c = first + i;
      const double dc[3] = {t.cen(c, 1) - t.cen(1, 1), t.cen(c, 2) - t.cen(1, 2),
                            t.cen(c, 3) - t.cen(1, 3)};
      refer_to_origin(d.p, dc, 1.0, d.mom_cell(c));
    });
  }
  if (d.kernels == Translations::Rotation)
    parallel_for(static_cast<int>(d.m2l_groups.size()),
                 [&](int i, ThreadScratch& s) { d.local_from_group(d.m2l_groups[i], s); });
  else
    parallel_for(static_cast<int>(d.m2l_positions.size()), [&](int i, ThreadScratch& s) {
      const int pos = d.m2l_positions[i];
      d.local_from_interactions(d.m2l_cells[pos], pos, s);
    });
  lap(&PhaseTimes::m2l);

  // 5. Local to local, level by level.
  for (int lev = 3; lev <= nlev; ++lev) {
    const std::vector<int>& cells = d.l2l_active[lev];
    parallel_for(static_cast<int>(cells.size()),
                 [&](int i, ThreadScratch& s) { d.local_from_parent(cells[i], s); });
  }
  lap(&PhaseTimes::l2l);

  // 6. Evaluation at the leaves.
  parallel_for(static_cast<int>(d.eval_leaves.size()),
               [&](int i, ThreadScratch& s) { d.evaluate(d.eval_leaves[i], y, s); });
  lap(&PhaseTimes::eval);
  ++tm.products;
}

void FmmEngine::form_moments(int mode, const double* x) {
  Impl& d = *impl_;
  const int nlev = *d.tree.nlev;
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
  // Phases 1 and 2 of a product on one process, whatever own_moments says.
  crit += d.parallel_for(static_cast<int>(d.leaves.size()), fp,
                         [&](int i, ThreadScratch& s) { d.leaf_moments(d.leaves[i], mode, x, s); });
  lap(&PhaseTimes::moments);
  for (int lev = nlev - 1; lev >= 0; --lev) {  // (below 2: an engine of moments only)
    const std::vector<int>& cells = d.m2m_cells[lev];
    crit += d.parallel_for(static_cast<int>(cells.size()), fp,
                           [&](int i, ThreadScratch& s) { d.gather_children(cells[i], s); });
  }
  lap(&PhaseTimes::m2m);
}

const double* FmmEngine::moments(int c) const {
  return impl_->mom_cell(c);
}

}  // namespace velmora
