// The application of the coarse correction (set-up: two_level.cpp).
#include "solver/two_level.hpp"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/blas.hpp"
#include "solver/lu.hpp"
#include "solver/two_level_impl.hpp"

namespace velmora {

using two_level::kSym;
using two_level::stokeslet;

void TwoLevelPrecon::Impl::off_leaf_sums(const double* q_leaf, const double* q_agg, Sums what,
                                         double* out, int first, int last) const {
  const bool leaf_targets = what != Sums::kAggregates;
  const bool own = what == Sums::kLeaves;
  const int na = static_cast<int>(agg.size());
  if (last < 0) last = na;
  const double f = inv8pimu();
#pragma omp parallel num_threads(nthreads)
  {
    std::vector<char> is_near(na, 0);
#pragma omp for schedule(dynamic, 1)
    for (int I = first; I < last; ++I) {
      for (int J : near[I]) is_near[J] = 1;
      double far[3] = {0.0, 0.0, 0.0};
      for (int J = 0; J < na; ++J) {
        if (is_near[J]) continue;
        double r[3], u[6];
        for (int k = 0; k < 3; ++k) r[k] = agg[I].c[k] - agg[J].c[k];
        stokeslet(r, f, u);
        const double* q = q_agg + 3 * J;
        for (int i = 0; i < 3; ++i) far[i] += u[kSym[i][0]] * q[0] + u[kSym[i][1]] * q[1] + u[kSym[i][2]] * q[2];
      }
      double total[3] = {0.0, 0.0, 0.0};
      for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
        const int a = agg_leaves[p];
        double s[3] = {far[0], far[1], far[2]};
        for (int J : near[I]) {
          if (!own && J == I) continue;
          for (int q = agg_first[J]; q < agg_first[J + 1]; ++q) {
            const int b = agg_leaves[q];
            if (a == b) continue;
            double r[3], u[6];
            for (int k = 0; k < 3; ++k) r[k] = leaf[a].c[k] - leaf[b].c[k];
            stokeslet(r, f, u, blob(a, b));
            const double* qb = q_leaf + 3 * b;
            for (int i = 0; i < 3; ++i)
              s[i] += u[kSym[i][0]] * qb[0] + u[kSym[i][1]] * qb[1] + u[kSym[i][2]] * qb[2];
          }
        }
        for (int i = 0; i < 3; ++i) {
          if (leaf_targets)
            out[3 * a + i] = leaf[a].count[i] * s[i];
          else
            total[i] += leaf[a].count[i] * s[i];
        }
      }
      if (!leaf_targets)
        for (int i = 0; i < 3; ++i) out[3 * I + i] = total[i];
      for (int J : near[I]) is_near[J] = 0;
    }
  }
}

// y = D1^-1 g, aggregate by aggregate (leaf unknowns gathered in the
// aggregate's order).
void TwoLevelPrecon::Impl::block_solve(const double* g, double* y) const {
  const int na = static_cast<int>(agg.size());
#pragma omp parallel num_threads(nthreads)
  {
    std::vector<double> b;
#pragma omp for schedule(dynamic, 1)
    for (int I = 0; I < na; ++I) {
      const int m = leaves_in(I), ld = 3 * m;
      b.resize(ld);
      for (int p = 0; p < m; ++p)
        for (int i = 0; i < 3; ++i) b[3 * p + i] = g[3 * agg_leaves[agg_first[I] + p] + i];
      lusolv(d1.data() + d1_off[I], ld, ld, d1_piv.data() + 3 * agg_first[I], b.data(), 0);
      for (int p = 0; p < m; ++p)
        for (int i = 0; i < 3; ++i) y[3 * agg_leaves[agg_first[I] + p] + i] = b[3 * p + i];
    }
  }
}

// The augmentation between aggregates at the leaf level for y:
// out(3a+i) -= scale_s u_s(a,i) (v_s . y - v_s|I . y|I) for leaf targets,
// out(3I+i) -= the same summed over the leaves of I for aggregate targets.
void TwoLevelPrecon::Impl::augmentation_between(const double* y, bool leaf_targets,
                                                double* out) const {
  for (int s0 = 0; s0 + 1 < static_cast<int>(aug_first.size()); ++s0) {
    const double scale = null_space->scale(aug_terms[aug_first[s0]].slot);
    double total = 0.0;
    for (int p = aug_first[s0]; p < aug_first[s0 + 1]; ++p) total += aug_terms[p].v * y[aug_terms[p].dof];
    for (int p0 = aug_first[s0]; p0 < aug_first[s0 + 1];) {
      int p1 = p0;
      double part = 0.0;
      while (p1 < aug_first[s0 + 1] && aug_terms[p1].agg == aug_terms[p0].agg) {
        part += aug_terms[p1].v * y[aug_terms[p1].dof];
        ++p1;
      }
      for (int p = p0; p < p1; ++p) {
        const int row = leaf_targets ? aug_terms[p].dof : 3 * aug_terms[p].agg + aug_terms[p].dof % 3;
        out[row] -= scale * aug_terms[p].u * (total - part);
      }
      p0 = p1;
    }
  }
}

// t = A1 y: the blocks of D1, the leaf-level operator between aggregates and
// the augmentation between them.
void TwoLevelPrecon::Impl::leaf_level_product(const double* y, double* t) {
  const int na = static_cast<int>(agg.size());
  const int nleaf = static_cast<int>(leaf.size());
  for (int b = 0; b < nleaf; ++b)
    for (int k = 0; k < 3; ++k) qleaf[3 * b + k] = leaf[b].area[k] * y[3 * b + k];
  sum_over_aggregates(qleaf.data(), qagg.data());
  // Both give minus the parts between aggregates.
  off_leaf_sums(qleaf.data(), qagg.data(), Sums::kLeavesFromOtherAggregates, t);
  augmentation_between(y, true, t);
  for (int i = 0; i < n1; ++i) t[i] = -t[i];
#pragma omp parallel for num_threads(nthreads) schedule(dynamic, 1)
  for (int I = 0; I < na; ++I) {
    const int m = leaves_in(I), ld = 3 * m;
    const double* blk = d1_raw.data() + d1_off[I];
    for (int p = 0; p < m; ++p)
      for (int i = 0; i < 3; ++i) {
        double s = 0.0;
        for (int q = 0; q < m; ++q)
          for (int j = 0; j < 3; ++j)
            s += blk[(3 * p + i) + static_cast<std::size_t>(3 * q + j) * ld] *
                 y[3 * agg_leaves[agg_first[I] + q] + j];
        t[3 * agg_leaves[agg_first[I] + p] + i] += s;
      }
  }
  // (The identity rows of empty components carry y itself.)
}

// y ~ A1^-1 g by one cycle: y' = D1^-1 g, y = y' + P2 A2^-1 P2^T (g - A1 y'),
// then y += D1^-1 (g - A1 y).
void TwoLevelPrecon::Impl::v_cycle(const double* g, double* y) {
  const int nleaf = static_cast<int>(leaf.size());
  const int na = static_cast<int>(agg.size());
  block_solve(g, y);
  // P2^T (g - A1 y') = -P2^T (A1 - D1) y': the leaf-level operator between
  // different aggregates, with charges area_b,j y'_b,j, and the
  // augmentation's part between aggregates.
  for (int b = 0; b < nleaf; ++b)
    for (int k = 0; k < 3; ++k) qleaf[3 * b + k] = leaf[b].area[k] * y[3 * b + k];
  sum_over_aggregates(qleaf.data(), qagg.data());
  off_leaf_sums(qleaf.data(), qagg.data(), Sums::kAggregates, g2.data());
  augmentation_between(y, false, g2.data());
  for (int I = 0; I < na; ++I)
    for (int i = 0; i < 3; ++i)
      if (agg[I].count[i] == 0.0) g2[3 * I + i] = 0.0;
  solve_coarse();
  for (int a = 0; a < nleaf; ++a) {
    const int I = agg_of_leaf[a];
    if (I >= 0)
      for (int k = 0; k < 3; ++k) y[3 * a + k] += g2[3 * I + k];
  }
  leaf_level_product(y, t2.data());
  for (int i = 0; i < n1; ++i) t2[i] = g[i] - t2[i];
  for (int a = 0; a < nleaf; ++a)
    for (int k = 0; k < 3; ++k)
      if (leaf[a].count[k] == 0.0) t2[3 * a + k] = 0.0;
  block_solve(t2.data(), t2.data());
  for (int i = 0; i < n1; ++i) y[i] += t2[i];
}

// out(3I + k) = the sum of v(3a + k) over the leaves a of aggregate I, in
// leaf order: P2^T v.
void TwoLevelPrecon::Impl::sum_over_aggregates(const double* v, double* out) const {
  const int na = static_cast<int>(agg.size());
  for (int I = 0; I < na; ++I) {
    double q[3] = {0.0, 0.0, 0.0};
    for (int p = agg_first[I]; p < agg_first[I + 1]; ++p)
      for (int k = 0; k < 3; ++k) q[k] += v[3 * agg_leaves[p] + k];
    for (int k = 0; k < 3; ++k) out[3 * I + k] = q[k];
  }
}

void TwoLevelPrecon::Impl::correct(const double* z1, double* z) {
  const int nleaf = static_cast<int>(leaf.size());
  const int na = static_cast<int>(agg.size());
  // Charges of z1: q_b,j = sum over elements l of leaf b with component j
  // velocity-prescribed of area_l z1_l,j; per aggregate, over its leaves.
  const int nq = own_only ? static_cast<int>(own_leaves.size()) : nleaf;
#pragma omp parallel for num_threads(nthreads) schedule(static)
  for (int i = 0; i < nq; ++i) {
    const int b = own_only ? own_leaves[i] : i;
    double q[3] = {0.0, 0.0, 0.0};
    for (int p = leaf_first[b]; p < leaf_first[b + 1]; ++p) {
      const int e = elements[p];
      const double a = element_area[p];
      for (int k = 0; k < 3; ++k)
        if (!d.mesh.traction_prescribed(e, k + 1)) q[k] += a * z1[3 * static_cast<std::size_t>(e - 1) + k];
    }
    for (int k = 0; k < 3; ++k) qleaf[3 * b + k] = q[k];
  }
  if (own_only) {
    // Every process's leaves' charges, each formed by its owner.
    for (std::size_t i = 0; i < own_leaves.size(); ++i)
      for (int k = 0; k < 3; ++k) q_mine[3 * i + k] = qleaf[3 * static_cast<std::size_t>(own_leaves[i]) + k];
    comm->allgatherv(q_mine.data(), q_counts, q_all.data());
    for (std::size_t j = 0; j < share_leaves.size(); ++j)
      for (int k = 0; k < 3; ++k) qleaf[3 * static_cast<std::size_t>(share_leaves[j]) + k] = q_all[3 * j + k];
  }
  sum_over_aggregates(qleaf.data(), qagg.data());
  // g1 = P1^T (x - A~ z1) = -P1^T (A~ - B) z1 - P1^T (augmentation of z1).
  if (comm) {
    // This process's aggregates, then every process's leaves' sums to all
    // (each leaf's three entries formed by one process, as by one alone).
    const int me = comm->rank();
    off_leaf_sums(qleaf.data(), qagg.data(), Sums::kLeaves, g1.data(), agg_begin[me],
                  agg_begin[me + 1]);
    std::size_t k = 0;
    for (int p = agg_first[agg_begin[me]]; p < agg_first[agg_begin[me + 1]]; ++p)
      for (int i = 0; i < 3; ++i) g_mine[k++] = g1[3 * static_cast<std::size_t>(agg_leaves[p]) + i];
    comm->allgatherv(g_mine.data(), g_counts, g_all.data());
    for (std::size_t p = 0; p < agg_leaves.size(); ++p)
      for (int i = 0; i < 3; ++i) g1[3 * static_cast<std::size_t>(agg_leaves[p]) + i] = g_all[3 * p + i];
  } else {
    off_leaf_sums(qleaf.data(), qagg.data(), Sums::kLeaves, g1.data());
  }
  if (!aug.empty()) {
    augmentation_of(z1);
    for (int a = 0; a < nleaf; ++a)
      for (int p = leaf_first[a]; p < leaf_first[a + 1]; ++p) {
        const int e = elements[p];
        for (int k = 0; k < 3; ++k)
          if (!d.mesh.traction_prescribed(e, k + 1)) g1[3 * a + k] -= aug[3 * static_cast<std::size_t>(e - 1) + k];
      }
  }
  // y1 ~ A1^-1 g1: one cycle of the leaf level, or the aggregates alone.
  if (opt.leaf_cycle) {
    v_cycle(g1.data(), y1.data());
  } else if (linear()) {
    restrict_linear(g1.data(), g2.data());
    solve_coarse();
    prolong_linear(g2.data(), y1.data());
  } else {
    sum_over_aggregates(g1.data(), g2.data());
    for (int I = 0; I < na; ++I)
      for (int k = 0; k < 3; ++k)
        if (agg[I].count[k] == 0.0) g2[3 * I + k] = 0.0;
    solve_coarse();
    for (int a = 0; a < nleaf; ++a)
      for (int k = 0; k < 3; ++k) y1[3 * a + k] = g2[3 * agg_of_leaf[a] + k];
  }
  // z = z1 + P1 y1 (on this process's leaves when own_only).
#pragma omp parallel for num_threads(nthreads) schedule(static)
  for (int i = 0; i < nq; ++i) {
    const int a = own_only ? own_leaves[i] : i;
    for (int p = leaf_first[a]; p < leaf_first[a + 1]; ++p) {
      const int e = elements[p];
      for (int k = 0; k < 3; ++k)
        if (!d.mesh.traction_prescribed(e, k + 1)) z[3 * static_cast<std::size_t>(e - 1) + k] += y1[3 * a + k];
    }
  }
}

TwoLevelPrecon::TwoLevelPrecon(const PreconData& d, FastPrecon& smoother,
                               const ClosedBodyNullSpace* null_space, const CoarseOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.d = d;
  m.smoother = &smoother;
  m.null_space = null_space;
  m.opt = options;
  m.nthreads = std::max(1, omp_get_max_threads());
  m.find_aggregates();
  if (m.coarse_count() > 0) smoother.record_block_sums();
}

TwoLevelPrecon::~TwoLevelPrecon() = default;

void TwoLevelPrecon::Impl::augmentation_of(const double* z1) {
  std::fill(aug.begin(), aug.end(), 0.0);
  null_space->augment_exact(z1, aug.data(), own_only ? &own_elements : nullptr,
                            own_only ? comm : nullptr);
}

void TwoLevelPrecon::keep_own_entries() {
  Impl& m = *impl_;
  if (m.comm == nullptr) return;
  m.smoother->keep_own_entries();
  if (!m.smoother->own_entries_only()) return;
  m.share_leaves = m.smoother->share_leaves();
  const std::vector<int> counts = m.smoother->share_leaf_counts();
  m.q_counts.assign(counts.size(), 0);
  std::size_t at = 0;
  for (int r = 0; r < m.comm->rank(); ++r) at += static_cast<std::size_t>(counts[r]);
  m.own_leaves.assign(m.share_leaves.begin() + static_cast<std::ptrdiff_t>(at),
                      m.share_leaves.begin() + static_cast<std::ptrdiff_t>(at + counts[m.comm->rank()]));
  for (std::size_t r = 0; r < counts.size(); ++r) m.q_counts[r] = 3 * counts[r];
  m.q_mine.assign(3 * m.own_leaves.size(), 0.0);
  m.own_elements.clear();
  for (const int a : m.own_leaves)
    for (int p = m.leaf_first[a]; p < m.leaf_first[a + 1]; ++p) m.own_elements.push_back(m.elements[p]);
  m.q_all.assign(3 * m.share_leaves.size(), 0.0);
  m.own_only = true;
}

void TwoLevelPrecon::distribute(const Comm& comm) {
  Impl& m = *impl_;
  const int p = comm.size();
  const int na = static_cast<int>(m.agg.size());
  if (p == 1 || na == 0) return;
  // Contiguous runs of aggregates by their work in a correction: the far
  // pairs (one per aggregate) and the leaf pairs with the near ones; run r
  // takes the aggregates whose work prefix lies in [rW/P, (r+1)W/P).
  std::vector<std::int64_t> prefix(static_cast<std::size_t>(na) + 1, 0);
  for (int I = 0; I < na; ++I) {
    std::int64_t w = na;
    for (int J : m.near[I]) w += static_cast<std::int64_t>(m.leaves_in(I)) * m.leaves_in(J);
    prefix[I + 1] = prefix[I] + w;
  }
  const __int128 total = prefix[na];
  m.agg_begin.assign(static_cast<std::size_t>(p) + 1, na);
  m.agg_begin[0] = 0;
  int I = 0;
  for (int r = 1; r < p; ++r) {
    while (I < na && static_cast<__int128>(prefix[I]) * p < total * r) ++I;
    m.agg_begin[r] = I;
  }
  m.g_counts.assign(static_cast<std::size_t>(p), 0);
  for (int r = 0; r < p; ++r)
    m.g_counts[r] = 3 * (m.agg_first[m.agg_begin[r + 1]] - m.agg_first[m.agg_begin[r]]);
  m.g_mine.assign(static_cast<std::size_t>(m.g_counts[comm.rank()]), 0.0);
  m.g_all.assign(3 * m.agg_leaves.size(), 0.0);
  m.comm = &comm;
}

}  // namespace velmora
