#include "solver/two_level.hpp"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <queue>
#include <tuple>
#include <vector>

#include "common/blas.hpp"
#include "solver/lu.hpp"
#include "solver/two_level_impl.hpp"

namespace velmora {

using two_level::kSym;
using two_level::stokeslet;

int max_aggregates_for(int nelem) {
  const double k = 2048.0 * std::pow(std::max(0, nelem) / 250000.0, 0.8);
  return static_cast<int>(std::clamp(k, 2048.0, 8192.0));
}

void TwoLevelPrecon::Impl::find_aggregates() {
  const Tree& t = d.tree;
  const int ncell = t.ncell();
  std::vector<int> level(ncell + 1, 0);
  for (int lev = 0; lev <= *t.nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c) level[c] = lev;
  // Aggregates: from the root, the cell with the most elements (the lower
  // cell number on a tie) is replaced by its non-empty children while it
  // holds more than aggregate_elements, is not a leaf and the count stays
  // within the cap.  The splits come in one order whatever the cap, so the
  // cells of a smaller cap are unions of those of a larger one (the linear
  // space's supports are unions of aggregates).
  auto elements_in = [&](int c) { return t.lst(c) - t.fst(c) + 1; };
  auto split = [&](int cap) {
    std::vector<char> open_cell(ncell + 1, 0);
    auto before = [&](int x, int y) {  // x is split after y
      return elements_in(x) != elements_in(y) ? elements_in(x) < elements_in(y) : x > y;
    };
    std::priority_queue<int, std::vector<int>, decltype(before)> open(before);
    int count = 0;
    if (elements_in(1) > 0) {
      open.push(1);
      count = 1;
    }
    while (!open.empty()) {
      const int c = open.top();
      std::vector<int> children;
      for (int oct = 1; oct <= 8; ++oct) {
        const int ch = t.child(c, oct);
        if (ch > 0 && elements_in(ch) > 0) children.push_back(ch);
      }
      if (elements_in(c) <= opt.aggregate_elements || children.empty() ||
          is_leaf(t, c, level[c], d.maxl, d.minlev) ||
          count - 1 + static_cast<int>(children.size()) > cap)
        break;
      open.pop();
      count += static_cast<int>(children.size()) - 1;
      for (int ch : children) open.push(ch);
    }
    // The largest cell left cannot be split: every open cell is kept.
    while (!open.empty()) {
      open_cell[open.top()] = 1;
      open.pop();
    }
    return open_cell;
  };
  const int cap = std::max(1, opt.max_aggregates > 0 ? opt.max_aggregates : max_aggregates_for(d.mesh.nelem));
  const std::vector<char> is_agg = split(cap);
  // Number the aggregates in cell order and give each leaf its aggregate.
  std::vector<int> agg_index(ncell + 1, -1);
  int na = 0;
  for (int c = 1; c <= ncell; ++c)
    if (is_agg[c]) {
      agg_index[c] = na++;
      agg_cell.push_back(c);
    }
  const std::vector<int>& cells = smoother->leaf_cells();
  const int nleaf = static_cast<int>(cells.size());
  agg_of_leaf.assign(nleaf, -1);
  for (int i = 0; i < nleaf; ++i) {
    int c = cells[i];
    while (c > 0 && agg_index[c] < 0) c = t.parent(c);
    agg_of_leaf[i] = c > 0 ? agg_index[c] : -1;
  }
  // Leaves: elements and groups.
  leaf_first.assign(nleaf + 1, 0);
  leaf.assign(nleaf, Group());
  for (int i = 0; i < nleaf; ++i) {
    const int c = cells[i];
    Group& gr = leaf[i];
    for (int q = t.fst(c); q <= t.lst(c); ++q) {
      const int e = t.elord(q);
      elements.push_back(e);
      const double a = element_geometry(d.mesh, e).area;
      element_area.push_back(a);
      for (int k = 0; k < 3; ++k) gr.c[k] += d.mesh.col(e, k + 1);
      for (int k = 0; k < 3; ++k)
        if (!d.mesh.traction_prescribed(e, k + 1)) {
          gr.count[k] += 1.0;
          gr.area[k] += a;
        }
    }
    const double ne = t.lst(c) - t.fst(c) + 1;
    for (int k = 0; k < 3; ++k) gr.c[k] /= ne;
    leaf_first[i + 1] = static_cast<int>(elements.size());
    for (int q = leaf_first[i]; q < leaf_first[i + 1]; ++q) {
      double d2 = 0.0;
      for (int k = 0; k < 3; ++k) d2 += std::pow(d.mesh.col(elements[q], k + 1) - gr.c[k], 2);
      gr.r2 = std::max(gr.r2, d2);
    }
  }
  // Aggregates: their leaves in leaf order, groups and radii.
  agg_first.assign(na + 1, 0);
  for (int i = 0; i < nleaf; ++i)
    if (agg_of_leaf[i] >= 0) ++agg_first[agg_of_leaf[i] + 1];
  for (int I = 0; I < na; ++I) agg_first[I + 1] += agg_first[I];
  agg_leaves.assign(agg_first[na], 0);
  {
    std::vector<int> next(agg_first.begin(), agg_first.end() - 1);
    for (int i = 0; i < nleaf; ++i)
      if (agg_of_leaf[i] >= 0) agg_leaves[next[agg_of_leaf[i]]++] = i;
  }
  agg.assign(na, Group());
  radius.assign(na, 0.0);
  for (int I = 0; I < na; ++I) {
    Group& gr = agg[I];
    double ne = 0.0;
    for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
      const int i = agg_leaves[p];
      const double n = leaf_first[i + 1] - leaf_first[i];
      for (int k = 0; k < 3; ++k) {
        gr.c[k] += n * leaf[i].c[k];
        gr.count[k] += leaf[i].count[k];
        gr.area[k] += leaf[i].area[k];
      }
      ne += n;
    }
    for (int k = 0; k < 3; ++k) gr.c[k] /= ne;
    double r2 = 0.0;
    for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
      const int i = agg_leaves[p];
      for (int q = leaf_first[i]; q < leaf_first[i + 1]; ++q) {
        double s = 0.0;
        for (int k = 0; k < 3; ++k) {
          const double dx = d.mesh.col(elements[q], k + 1) - gr.c[k];
          s += dx * dx;
        }
        r2 = std::max(r2, s);
      }
    }
    radius[I] = std::sqrt(r2);
  }
  near.assign(na, {});
  for (int I = 0; I < na; ++I)
    for (int J = 0; J < na; ++J) {
      double s = 0.0;
      for (int k = 0; k < 3; ++k) s += (agg[I].c[k] - agg[J].c[k]) * (agg[I].c[k] - agg[J].c[k]);
      if (I == J || std::sqrt(s) <= opt.separation * (radius[I] + radius[J])) near[I].push_back(J);
    }
  n1 = 3 * nleaf;
  n2 = 3 * na;
  d1_off.assign(na + 1, 0);
  for (int I = 0; I < na; ++I) {
    const std::size_t m3 = opt.leaf_cycle ? 3 * static_cast<std::size_t>(leaves_in(I)) : 0;
    d1_off[I + 1] = d1_off[I] + m3 * m3;
  }
  if (linear()) {
    const int sup_cap = opt.max_supports > 0 ? opt.max_supports : std::max(1, max_aggregates_for(d.mesh.nelem) / 3);
    find_supports(split(std::min(cap, sup_cap)));
  }
}

void TwoLevelPrecon::Impl::gather_augmentation() {
  aug_terms.clear();
  aug_first.assign(1, 0);
  if (null_space == nullptr || null_space->empty()) return;
  const int nleaf = static_cast<int>(leaf.size());
  std::vector<AugTerm> raw;
  for (int a = 0; a < nleaf; ++a)
    for (int p = leaf_first[a]; p < leaf_first[a + 1]; ++p) {
      const int e = elements[p];
      const int slot = null_space->slot_of_element(e);
      if (slot < 0) continue;
      const double* nu = null_space->unit_normal(e);
      for (int k = 0; k < 3; ++k)
        if (nu[k] != 0.0 && !d.mesh.traction_prescribed(e, k + 1))
          raw.push_back({slot, 3 * a + k, agg_of_leaf[a], nu[k], null_space->area(e) * nu[k]});
    }
  std::stable_sort(raw.begin(), raw.end(), [](const AugTerm& x, const AugTerm& y) {
    if (x.slot != y.slot) return x.slot < y.slot;
    if (x.agg != y.agg) return x.agg < y.agg;
    return x.dof < y.dof;
  });
  for (const AugTerm& t : raw) {
    if (!aug_terms.empty() && aug_terms.back().slot == t.slot && aug_terms.back().dof == t.dof) {
      aug_terms.back().u += t.u;
      aug_terms.back().v += t.v;
      continue;
    }
    if (!aug_terms.empty() && aug_terms.back().slot != t.slot)
      aug_first.push_back(static_cast<int>(aug_terms.size()));
    aug_terms.push_back(t);
  }
  aug_first.push_back(static_cast<int>(aug_terms.size()));
}

// D1: per aggregate, the block of A1 over its leaves, factored.
bool TwoLevelPrecon::Impl::build_blocks(const std::vector<double>& sums) {
  const int na = static_cast<int>(agg.size());
  const double f = inv8pimu();
  d1.assign(d1_off[na], 0.0);
  d1_piv.assign(n1, 0);
  d1_raw.assign(d1_off[na], 0.0);
  // The augmentation's terms within each aggregate.
  for (int s0 = 0; s0 + 1 < static_cast<int>(aug_first.size()); ++s0) {
    const double scale = null_space->scale(aug_terms[aug_first[s0]].slot);
    for (int p0 = aug_first[s0]; p0 < aug_first[s0 + 1];) {
      int p1 = p0;
      while (p1 < aug_first[s0 + 1] && aug_terms[p1].agg == aug_terms[p0].agg) ++p1;
      const int I = aug_terms[p0].agg;
      const int first = agg_first[I];
      const int ld = 3 * leaves_in(I);
      // Local position of a leaf in its aggregate: leaves of I are
      // agg_leaves[first ..], ascending.
      auto local = [&](int dof) {
        const int a = dof / 3;
        const int pos = static_cast<int>(std::lower_bound(agg_leaves.begin() + first,
                                                          agg_leaves.begin() + agg_first[I + 1], a) -
                                         (agg_leaves.begin() + first));
        return 3 * pos + dof % 3;
      };
      for (int p = p0; p < p1; ++p)
        for (int q = p0; q < p1; ++q)
          d1[d1_off[I] + local(aug_terms[p].dof) + static_cast<std::size_t>(local(aug_terms[q].dof)) * ld] +=
              scale * aug_terms[p].u * aug_terms[q].v;
      p0 = p1;
    }
  }
  int failed = 0;
#pragma omp parallel for num_threads(nthreads) schedule(dynamic, 1) reduction(+ : failed)
  for (int I = 0; I < na; ++I) {
    const int m = leaves_in(I), ld = 3 * m;
    double* blk = d1.data() + d1_off[I];
    for (int q = 0; q < m; ++q) {
      const int b = agg_leaves[agg_first[I] + q];
      for (int p = 0; p < m; ++p) {
        const int a = agg_leaves[agg_first[I] + p];
        double* col = blk + 3 * static_cast<std::size_t>(q) * ld + 3 * p;
        if (a == b) {
          for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) col[i + j * ld] += sums[9 * a + 3 * i + j];
          continue;
        }
        double r[3], u[6];
        for (int k = 0; k < 3; ++k) r[k] = leaf[a].c[k] - leaf[b].c[k];
        stokeslet(r, f, u, blob(a, b));
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) col[i + j * ld] -= leaf[a].count[i] * u[kSym[i][j]] * leaf[b].area[j];
      }
      for (int i = 0; i < 3; ++i)
        if (leaf[b].count[i] == 0.0) blk[(3 * q + i) * (ld + 1)] = 1.0;
    }
    std::copy_n(blk, static_cast<std::size_t>(ld) * ld, d1_raw.data() + d1_off[I]);
    int info = 0;
    lufact(blk, ld, ld, d1_piv.data() + 3 * agg_first[I], info);
    if (info != 0) ++failed;
  }
  return failed == 0;
}

// A2 = P2^T A1 P2: one Stokeslet per far pair of aggregates, the leaf
// pairs of near ones, the leaves' own sums and the augmentation.
bool TwoLevelPrecon::Impl::build_coarse() {
  const int na = static_cast<int>(agg.size());
  const std::vector<double>& sums = smoother->block_sums();
  const double f = inv8pimu();
  // A2 is held times 8 pi mu: its entries are then sizes of the mesh (counts
  // times areas over distances), within single precision's range for any
  // viscosity.
  a2_unit = 8.0 * kPi * d.mu;
  a2_allocate();
  const auto own_col = [&](std::size_t c) { return owns_column(c); };
#pragma omp parallel num_threads(nthreads)
  {
    std::vector<char> is_near(na, 0);
#pragma omp for schedule(dynamic, 1)
    for (int I = 0; I < na; ++I) {
      for (int J : near[I]) is_near[J] = 1;
      for (int J = 0; J < na; ++J) {
        if (!own_col(3 * J) && !own_col(3 * J + 1) && !own_col(3 * J + 2)) continue;
        double blk[3][3] = {};
        if (is_near[J]) {
          for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
            const int a = agg_leaves[p];
            for (int q = agg_first[J]; q < agg_first[J + 1]; ++q) {
              const int b = agg_leaves[q];
              if (a == b) {
                for (int i = 0; i < 3; ++i)
                  for (int j = 0; j < 3; ++j) blk[i][j] += sums[9 * a + 3 * i + j];
                continue;
              }
              double r[3], u[6];
              for (int k = 0; k < 3; ++k) r[k] = leaf[a].c[k] - leaf[b].c[k];
              stokeslet(r, f, u, blob(a, b));
              for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                  blk[i][j] -= leaf[a].count[i] * u[kSym[i][j]] * leaf[b].area[j];
            }
          }
        } else {
          double r[3], u[6];
          for (int k = 0; k < 3; ++k) r[k] = agg[I].c[k] - agg[J].c[k];
          stokeslet(r, f, u);
          for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) blk[i][j] = -agg[I].count[i] * u[kSym[i][j]] * agg[J].area[j];
        }
        for (int j = 0; j < 3; ++j)
          if (own_col(3 * J + j))
            for (int i = 0; i < 3; ++i)
              a2_entry(3 * I + i, 3 * J + j) = static_cast<float>(a2_unit * blk[i][j]);
      }
      for (int J : near[I]) is_near[J] = 0;
    }
  }
  // The augmentation: A2 += scale_s U2_s V2_s^T, U2_s(I,i) and V2_s(I,i) the
  // sums of the slot's terms u and v over the leaves of I.
  for (int s0 = 0; s0 + 1 < static_cast<int>(aug_first.size()); ++s0) {
    const double scale = null_space->scale(aug_terms[aug_first[s0]].slot);
    std::vector<std::tuple<int, double, double>> sums2;  // 3I + i, U2, V2
    for (int p0 = aug_first[s0]; p0 < aug_first[s0 + 1];) {
      const int I = aug_terms[p0].agg;
      double uu[3] = {0.0, 0.0, 0.0}, vv[3] = {0.0, 0.0, 0.0};
      int p1 = p0;
      for (; p1 < aug_first[s0 + 1] && aug_terms[p1].agg == I; ++p1) {
        uu[aug_terms[p1].dof % 3] += aug_terms[p1].u;
        vv[aug_terms[p1].dof % 3] += aug_terms[p1].v;
      }
      for (int i = 0; i < 3; ++i)
        if (uu[i] != 0.0 || vv[i] != 0.0) sums2.emplace_back(3 * I + i, uu[i], vv[i]);
      p0 = p1;
    }
    for (const auto& r : sums2)
      for (const auto& c : sums2) {
        if (!own_col(std::get<0>(c))) continue;
        float& e = a2_entry(std::get<0>(r), std::get<0>(c));
        e = static_cast<float>(e + a2_unit * scale * std::get<1>(r) * std::get<2>(c));
      }
  }
  for (int I = 0; I < na; ++I)
    for (int i = 0; i < 3; ++i)
      if (agg[I].count[i] == 0.0 && own_col(3 * I + i)) a2_entry(3 * I + i, 3 * I + i) = 1.0f;
  return a2_lu.factor(n2, std::move(a2), nthreads, comm);
}

void TwoLevelPrecon::Impl::build() {
  const auto start = std::chrono::steady_clock::now();
  built = true;
  const std::vector<double>& sums = smoother->block_sums();
  if (coarse_count() == 0 || sums.size() != 9 * leaf.size()) return;
  gather_augmentation();
  active = (!opt.leaf_cycle || build_blocks(sums)) && (linear() ? build_coarse_linear() : build_coarse());
  if (!active) {
    std::vector<double>().swap(d1);
    std::vector<float>().swap(a2);
    a2_lu.clear();
  }
  qleaf.assign(3 * leaf.size(), 0.0);
  qagg.assign(3 * agg.size(), 0.0);
  g1.assign(n1, 0.0);
  y1.assign(n1, 0.0);
  g2.assign(n2, 0.0);
  t2.assign(n1, 0.0);
  if (!aug_terms.empty()) aug.assign(3 * static_cast<std::size_t>(d.mesh.nelem), 0.0);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The off-leaf part of A~ applied to charges q (3 per leaf; q_agg their sums
// per aggregate), with the sign of -A~ (that is, +n U q): with leaf targets,
// out(3a+i) = n_a,i [sum over leaves b != a of near aggregates of
// U_ij(c_a - c_b) q_b,j + sum over far aggregates J of U_ij(C_I - C_J) q_J,j];
// with aggregate targets, out(3I+i) = the sum over a in I of the same
// without the leaves of I itself.
void TwoLevelPrecon::apply(const double* x, double* z) {
  Impl& m = *impl_;
  m.smoother->apply(x, z);
  if (!m.built) m.build();
  if (m.active) {
    const auto start = std::chrono::steady_clock::now();
    m.correct(z, z);
    m.apply_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
}

int TwoLevelPrecon::leaves() const { return static_cast<int>(impl_->leaf.size()); }
int TwoLevelPrecon::aggregates() const { return static_cast<int>(impl_->agg.size()); }
int TwoLevelPrecon::support_of_aggregate(int I) const { return impl_->sup_of_agg[I]; }
int TwoLevelPrecon::coarse_functions(int S, int i) const { return impl_->functions(S, i); }
double TwoLevelPrecon::coarse_function(int a, int i, int k) const {
  return impl_->phi[12 * static_cast<std::size_t>(a) + 4 * i + k];
}
int TwoLevelPrecon::supports() const {
  return impl_->linear() ? static_cast<int>(impl_->sup_first.size()) - 1 : 0;
}
int TwoLevelPrecon::aggregate_of_leaf(int i) const { return impl_->agg_of_leaf[i]; }
int TwoLevelPrecon::leaf_unknowns() const { return impl_->leaf_count(); }
int TwoLevelPrecon::coarse_unknowns() const { return impl_->coarse_count(); }
bool TwoLevelPrecon::active() const { return impl_->active; }
double TwoLevelPrecon::setup_seconds() const { return impl_->seconds; }
double TwoLevelPrecon::correction_seconds() const { return impl_->apply_seconds; }
double TwoLevelPrecon::coarse_solve_seconds() const { return impl_->solve_seconds; }

std::size_t TwoLevelPrecon::bytes() const {
  const Impl& m = *impl_;
  // This process's columns of the coarse factors in single precision
  // (tiled_lu.hpp), known before they are built.
  return sizeof(float) * static_cast<std::size_t>(m.n2) *
             TiledLU::local_columns(m.n2, m.comm ? m.comm->size() : 1, m.comm ? m.comm->rank() : 0) +
         sizeof(double) * (2 * m.d1_off.back() + m.element_area.size() + m.phi.size()) +
         sizeof(int) * (m.elements.size() + m.leaf_first.size() + m.agg_leaves.size() + m.n1 + m.n2) +
         sizeof(two_level::Group) * (m.leaf.size() + m.agg.size());
}

}  // namespace velmora

