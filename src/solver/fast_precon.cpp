#include "solver/fast_precon.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "common/array.hpp"
#include "common/large_array.hpp"
#include "solver/lu.hpp"

namespace velmora {
namespace {

// Index of U_ij in the six stored Stokeslet integrals (symmetric).
constexpr int kUIndex[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};

// Storage of one thread: the block with leading dimension 3 maxl (as
// PRECON's), pivots, right-hand side, target list and TRIINT arrays for
// maxl targets.
struct LeafScratch {
  std::vector<double> block, rhs, reals;
  std::vector<int> ipvt, ltarg, ints;
  NearCoef coef{};
  TriintWork work{};

  explicit LeafScratch(int maxl) {
    const std::size_t n3 = 3 * static_cast<std::size_t>(maxl);
    block.resize(n3 * n3);
    rhs.resize(n3);
    ipvt.resize(n3);
    ltarg.resize(static_cast<std::size_t>(maxl) + 1);
    ints.resize(kTriintInts * maxl);
    reals.resize(kTriintReals * maxl);
    carve_triint_arrays(reals.data(), ints.data(), maxl, coef, work);
  }
  std::size_t bytes() const {
    return sizeof(double) * (block.size() + rhs.size() + reals.size()) +
           sizeof(int) * (ipvt.size() + ltarg.size() + ints.size());
  }
};

struct Leaf {
  int index = 0;
  int cell = 0;
  int nl = 0;
  std::int64_t factor_offset = 0;  // doubles before this leaf's factors
  std::int64_t pivot_offset = 0;   // ints before its pivots
};

}  // namespace

struct FastPrecon::Impl {
  PreconData d;
  int nthreads = 1;
  std::vector<LeafScratch> scratch;
  std::vector<Leaf> leaves;
  std::vector<int> built;  // the leaves this process builds: all, or its own (distribute)
  ProductShare* share = nullptr;
  // The block sums' gather: the leaves of ranks 0, 1, ... and 9 x their counts.
  std::vector<int> sum_order, sum_counts;
  std::int64_t factor_doubles = 0, pivot_ints = 0;
  bool cache_on = false, cache_filled = false;
  bool record = false, recorded = false;
  bool own_only = false;
  std::vector<int> cells;
  mutable std::vector<double> sums;  // written by factor_leaf, one slot per leaf
  LargeArray<double> factors;
  LargeArray<int> pivots;
  const ClosedBodyNullSpace* ns = nullptr;  // whole bodies' augmentation
  // Per leaf (by index), the treated bodies it holds whole (mostly none).
  std::vector<std::vector<int>> whole_slots;

  // Builds and factors the block of leaf `lf` in s.block (leading
  // dimension 3 maxl); s.ltarg holds the leaf's elements.
  void factor_leaf(const Leaf& lf, LeafScratch& s) const {
    const Tree& t = d.tree;
    const int nl = lf.nl;
    const int ld = 3 * d.maxl;
    const Mat<double> a(s.block.data(), ld);
    s.ltarg[0] = nl;
    for (int k = 1; k <= nl; ++k) s.ltarg[k] = t.elord(t.fst(lf.cell) + k - 1);
    double normal[3];
    for (int l = 1; l <= nl; ++l) {
      const int es = s.ltarg[l];
      TRIINT(d.mesh, d.mu, d.snaptol, s.ltarg.data(), s.coef, s.work, normal, es);
      for (int j = 1; j <= 3; ++j) {
        const bool traction_given = d.mesh.traction_prescribed(es, j);
        const int col = 3 * (l - 1) + j;
        for (int k = 1; k <= nl; ++k)
          for (int i = 1; i <= 3; ++i)
            a(3 * (k - 1) + i, col) = traction_given ? s.coef.t[3 * (i - 1) + (j - 1)][k - 1]
                                                     : -s.coef.u[kUIndex[i - 1][j - 1]][k - 1];
      }
    }
    if (record && !recorded) {
      double* sum = sums.data() + 9 * static_cast<std::size_t>(lf.index);
      for (int l = 1; l <= nl; ++l)
        for (int j = 1; j <= 3; ++j) {
          if (d.mesh.traction_prescribed(s.ltarg[l], j)) continue;
          for (int k = 1; k <= nl; ++k)
            for (int i = 1; i <= 3; ++i)
              if (!d.mesh.traction_prescribed(s.ltarg[k], i))
                sum[3 * (i - 1) + (j - 1)] += a(3 * (k - 1) + i, 3 * (l - 1) + j);
        }
    }
    if (!whole_slots.empty() && !whole_slots[lf.index].empty()) augment_block(lf, a, s);
    int info = 0;
    lufact(s.block.data(), ld, 3 * nl, s.ipvt.data(), info);
  }

  // a += the augmentation of each treated body whose every element is in
  // the leaf: entry (3(k-1)+i, 3(l-1)+j), elements e_k and e_l of one such
  // body, += scale * nu_k[i] * area_l * nu_l[j] (bem/null_space.hpp).
  void augment_block(const Leaf& lf, const Mat<double>& a, LeafScratch& s) const {
    const std::vector<int>& whole = whole_slots[lf.index];
    const int nl = lf.nl;
    for (int l = 1; l <= nl; ++l) {
      const int el = s.ltarg[l];
      const int sl = ns->slot_of_element(el);
      if (std::find(whole.begin(), whole.end(), sl) == whole.end()) continue;
      const double* nu_l = ns->unit_normal(el);
      const double w = ns->scale(sl) * ns->area(el);
      for (int j = 1; j <= 3; ++j) {
        if (nu_l[j - 1] == 0.0) continue;
        for (int k = 1; k <= nl; ++k) {
          if (ns->slot_of_element(s.ltarg[k]) != sl) continue;
          const double* nu_k = ns->unit_normal(s.ltarg[k]);
          for (int i = 1; i <= 3; ++i)
            a(3 * (k - 1) + i, 3 * (l - 1) + j) += w * nu_k[i - 1] * nu_l[j - 1];
        }
      }
    }
  }

  void leaf(const Leaf& lf, const double* x, double* z, LeafScratch& s, bool use, bool fill) const {
    const Tree& t = d.tree;
    const int nl = lf.nl, n3 = 3 * nl;
    const int first = t.fst(lf.cell);
    double* b = s.rhs.data();
    for (int k = 0; k < nl; ++k) {
      const std::int64_t e = t.elord(first + k);
      for (int i = 0; i < 3; ++i) b[3 * k + i] = x[3 * (e - 1) + i];
    }
    if (use) {
      lusolv(factors.get() + lf.factor_offset, n3, n3, pivots.get() + lf.pivot_offset, b, 0);
    } else {
      factor_leaf(lf, s);
      const int ld = 3 * d.maxl;
      if (fill) {
        double* f = factors.get() + lf.factor_offset;
        for (int j = 0; j < n3; ++j)
          std::copy_n(s.block.data() + static_cast<std::size_t>(j) * ld, n3,
                      f + static_cast<std::size_t>(j) * n3);
        std::copy_n(s.ipvt.data(), n3, pivots.get() + lf.pivot_offset);
        lusolv(f, n3, n3, pivots.get() + lf.pivot_offset, b, 0);
      } else {
        lusolv(s.block.data(), ld, n3, s.ipvt.data(), b, 0);
      }
    }
    for (int k = 0; k < nl; ++k) {
      const std::int64_t e = t.elord(first + k);
      for (int i = 0; i < 3; ++i) z[3 * (e - 1) + i] = b[3 * k + i];
    }
  }
};

FastPrecon::FastPrecon(const PreconData& d) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.d = d;
  m.nthreads = std::max(1, omp_get_max_threads());
  m.scratch.reserve(m.nthreads);
  for (int i = 0; i < m.nthreads; ++i) m.scratch.emplace_back(d.maxl);
  const Tree& t = d.tree;
  const int nlev = *t.nlev;
  for (int lev = 2; lev <= nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
      if (!is_leaf(t, c, lev, d.maxl, d.minlev) || t.fst(c) > t.lst(c)) continue;
      Leaf lf;
      lf.index = static_cast<int>(m.leaves.size());
      lf.cell = c;
      m.cells.push_back(c);
      lf.nl = t.lst(c) - t.fst(c) + 1;
      lf.factor_offset = m.factor_doubles;
      lf.pivot_offset = m.pivot_ints;
      m.factor_doubles += 9 * static_cast<std::int64_t>(lf.nl) * lf.nl;
      m.pivot_ints += 3 * lf.nl;
      m.leaves.push_back(lf);
      m.built.push_back(lf.index);
    }
}

FastPrecon::~FastPrecon() = default;

std::size_t FastPrecon::factor_cache_bytes() const {
  return sizeof(double) * static_cast<std::size_t>(impl_->factor_doubles) +
         sizeof(int) * static_cast<std::size_t>(impl_->pivot_ints);
}

void FastPrecon::enable_factor_cache() {
  Impl& m = *impl_;
  if (m.cache_on) return;
  m.factors.reset(static_cast<std::size_t>(m.factor_doubles));
  m.pivots.reset(static_cast<std::size_t>(m.pivot_ints));
  m.cache_on = true;
  m.cache_filled = false;
}

bool FastPrecon::factor_cache_enabled() const {
  return impl_->cache_on;
}

std::size_t FastPrecon::fixed_bytes() const {
  std::size_t b = sizeof(Leaf) * impl_->leaves.size();
  for (const auto& s : impl_->scratch) b += s.bytes();
  return b;
}

const std::vector<int>& FastPrecon::leaf_cells() const {
  return impl_->cells;
}

void FastPrecon::record_block_sums() {
  Impl& m = *impl_;
  if (m.recorded || (m.cache_on && m.cache_filled)) return;
  m.record = true;
  m.sums.assign(9 * m.leaves.size(), 0.0);
}

const std::vector<double>& FastPrecon::block_sums() const {
  static const std::vector<double> none;
  return impl_->recorded ? impl_->sums : none;
}

int FastPrecon::augment_whole_bodies(const ClosedBodyNullSpace* ns) {
  Impl& m = *impl_;
  m.ns = ns;
  m.whole_slots.clear();
  if (ns == nullptr || ns->empty()) return 0;
  const Tree& t = m.d.tree;
  std::vector<int> size(ns->treated().size(), 0), here(size.size(), 0);
  for (int e = 1; e <= m.d.mesh.nelem; ++e)
    if (ns->slot_of_element(e) >= 0) ++size[ns->slot_of_element(e)];
  m.whole_slots.assign(m.leaves.size(), {});
  int count = 0;
  for (const Leaf& lf : m.leaves) {
    std::fill(here.begin(), here.end(), 0);
    for (int pos = t.fst(lf.cell); pos <= t.lst(lf.cell); ++pos) {
      const int sl = ns->slot_of_element(t.elord(pos));
      if (sl >= 0) ++here[sl];
    }
    for (int sl = 0; sl < static_cast<int>(here.size()); ++sl)
      if (here[sl] == size[sl]) m.whole_slots[lf.index].push_back(sl);
    count += m.whole_slots[lf.index].empty() ? 0 : 1;
  }
  return count;
}

void FastPrecon::keep_own_entries() {
  if (impl_->share) impl_->own_only = true;
}
bool FastPrecon::own_entries_only() const { return impl_->own_only; }
const std::vector<int>& FastPrecon::share_leaves() const { return impl_->sum_order; }
std::vector<int> FastPrecon::share_leaf_counts() const {
  std::vector<int> c = impl_->sum_counts;
  for (int& v : c) v /= 9;
  return c;
}

void FastPrecon::distribute(ProductShare& share) {
  Impl& m = *impl_;
  if (!share.split()) return;
  m.share = &share;
  const LeafPartition& part = share.partition();
  const int me = share.comm().rank();
  const Tree& t = m.d.tree;
  // A leaf belongs to the process whose run of element positions holds its
  // first element (runs never split a leaf).
  auto owner = [&](const Leaf& lf) {
    const int pos = t.fst(lf.cell);
    int r = 0;
    while (r + 1 < static_cast<int>(part.first.size()) &&
           !(pos >= part.first[r] && pos <= part.last[r]))
      ++r;
    return r;
  };
  const int p = share.comm().size();
  std::vector<std::vector<int>> of(static_cast<std::size_t>(p));
  for (const Leaf& lf : m.leaves) of[owner(lf)].push_back(lf.index);
  m.sum_order.clear();
  m.sum_counts.assign(static_cast<std::size_t>(p), 0);
  for (int r = 0; r < p; ++r) {
    m.sum_order.insert(m.sum_order.end(), of[r].begin(), of[r].end());
    m.sum_counts[r] = 9 * static_cast<int>(of[r].size());
  }
  // This process's leaves and their places in the factor cache.
  m.built = of[me];
  m.factor_doubles = m.pivot_ints = 0;
  for (const int i : m.built) {
    Leaf& lf = m.leaves[i];
    lf.factor_offset = m.factor_doubles;
    lf.pivot_offset = m.pivot_ints;
    m.factor_doubles += 9 * static_cast<std::int64_t>(lf.nl) * lf.nl;
    m.pivot_ints += 3 * lf.nl;
  }
}

void FastPrecon::apply(const double* x, double* z) {
  Impl& m = *impl_;
  const bool use = m.cache_on && m.cache_filled;
  const bool fill = m.cache_on && !m.cache_filled;
  const int n = static_cast<int>(m.built.size());
#if defined(__x86_64__) || defined(__SSE__)
  const unsigned csr = _mm_getcsr();
#endif
#pragma omp parallel num_threads(m.nthreads)
  {
#if defined(__x86_64__) || defined(__SSE__)
    _mm_setcsr(csr);
#endif
    LeafScratch& s = m.scratch[omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < n; ++i) m.leaf(m.leaves[m.built[i]], x, z, s, use, fill);
  }
  if (fill) m.cache_filled = true;
  if (m.share && !m.own_only) m.share->complete(z, true);
  if (m.record) {
    if (m.share) {
      // Every process's sums, copied to all.
      const int me = m.share->comm().rank();
      std::size_t at = 0;
      for (int r = 0; r < me; ++r) at += static_cast<std::size_t>(m.sum_counts[r]) / 9;
      std::vector<double> mine(static_cast<std::size_t>(m.sum_counts[me])), all(m.sums.size());
      for (std::size_t i = 0; i < mine.size() / 9; ++i)
        std::copy_n(m.sums.data() + 9 * static_cast<std::size_t>(m.sum_order[at + i]), 9,
                    mine.data() + 9 * i);
      m.share->comm().allgatherv(mine.data(), m.sum_counts, all.data());
      for (std::size_t i = 0; i < m.sum_order.size(); ++i)
        std::copy_n(all.data() + 9 * i, 9, m.sums.data() + 9 * static_cast<std::size_t>(m.sum_order[i]));
    }
    m.recorded = true;
    m.record = false;
  }
}

}  // namespace velmora
