// The linear coarse space of the two-level preconditioner
// (CoarseOptions::Basis::kLinear): its functions, A2 = P2^T A1 P2, and the
// restriction and prolongation.  Conventions and A~: two_level.hpp.
//
// Why.  The coarse correction removes the smooth tractions that the leaf
// blocks amplify; constants per aggregate resolve them to first order in the
// aggregate's size, so the iteration count follows the leaves per aggregate
// while the dense factorisation of A2 bounds the aggregates.  Constant plus
// linear functions resolve them to second order on supports about twice as
// wide for the same count of coarse unknowns.
//
// The functions of support S and component i: f0 = 1, fk = (c_a,k - C_k) /
// rho for k = 1, 2, 3, c_a the centroid of leaf a, C the weighted centroid
// of the support's leaves and rho their largest distance from it, weights
// w_a = the count of leaf a's elements with component i velocity-prescribed;
// orthonormalised by modified Gram-Schmidt (two passes) in <f, g> = sum w_a
// f(a) g(a) / sum w_a, a function kept while its remaining norm exceeds
// linear_keep.  So f0 stays 1 and a flat support keeps its two in-plane
// coordinates.
//
// A2 (row (S, i, k), column (T, j, l)): over the aggregates I of S and J of
// T, for near I, J the leaf pairs, sum phi(a,i,k) A1(a,b)_ij phi(b,j,l) with
// A1(a,b) the leaf's own block sums for a = b and -n_a,i U_ij(c_a - c_b)
// A_b,j otherwise (regularised as in two_level.hpp); for far I, J the
// aggregates' Stokeslet, -M_I(i,k) U_ij(C_I - C_J) N_J(j,l) with M_I(i,k) =
// sum over a in I of phi(a,i,k) n_a,i and N_J(j,l) = sum over b in J of
// phi(b,j,l) A_b,j; then the augmentation, scale U2 V2^T with U2, V2 the
// projections of the leaf-level terms.  Rows are formed by one thread per
// support, sums in a fixed order: the same bits for any thread count.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "solver/two_level.hpp"
#include "solver/two_level_impl.hpp"

namespace velmora {

using two_level::kSym;
using two_level::stokeslet;

void TwoLevelPrecon::Impl::find_supports(const std::vector<char>& is_sup) {
  const Tree& t = d.tree;
  const int ncell = t.ncell();
  const int na = static_cast<int>(agg.size());
  const int nleaf = static_cast<int>(leaf.size());
  std::vector<int> sup_index(ncell + 1, -1);
  int ns = 0;
  for (int c = 1; c <= ncell; ++c)
    if (is_sup[c]) sup_index[c] = ns++;
  // Each aggregate lies in one support (the supports coarsen the aggregates;
  // one that would not is its own support).
  sup_of_agg.assign(na, -1);
  for (int I = 0; I < na; ++I) {
    int c = agg_cell[I];
    while (c > 0 && sup_index[c] < 0) c = t.parent(c);
    sup_of_agg[I] = c > 0 ? sup_index[c] : ns++;
  }
  // Renumber the supports in the order of their first aggregate.
  std::vector<int> renum(ns, -1);
  int next = 0;
  for (int I = 0; I < na; ++I)
    if (renum[sup_of_agg[I]] < 0) renum[sup_of_agg[I]] = next++;
  ns = next;
  for (int I = 0; I < na; ++I) sup_of_agg[I] = renum[sup_of_agg[I]];
  sup_first.assign(ns + 1, 0);
  for (int I = 0; I < na; ++I) sup_first[sup_of_agg[I] + 1] += leaves_in(I);
  for (int S = 0; S < ns; ++S) sup_first[S + 1] += sup_first[S];
  sup_leaves.assign(sup_first[ns], 0);
  {
    std::vector<int> at(sup_first.begin(), sup_first.end() - 1);
    for (int I = 0; I < na; ++I)
      for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) sup_leaves[at[sup_of_agg[I]]++] = agg_leaves[p];
  }
  // The functions, support by support and component by component.
  phi.assign(12 * static_cast<std::size_t>(nleaf), 0.0);
  fn_first.assign(3 * static_cast<std::size_t>(ns) + 1, 0);
  std::vector<double> f;  // the kept functions over the support's leaves, 4 x m
  for (int S = 0; S < ns; ++S) {
    const int first = sup_first[S], m = sup_first[S + 1] - first;
    for (int i = 0; i < 3; ++i) {
      double wsum = 0.0, c[3] = {0.0, 0.0, 0.0};
      for (int p = 0; p < m; ++p) {
        const Group& g = leaf[sup_leaves[first + p]];
        wsum += g.count[i];
        for (int k = 0; k < 3; ++k) c[k] += g.count[i] * g.c[k];
      }
      int kept = 0;
      if (wsum > 0.0) {
        for (double& v : c) v /= wsum;
        double rho = 0.0;
        for (int p = 0; p < m; ++p) {
          const Group& g = leaf[sup_leaves[first + p]];
          if (g.count[i] == 0.0) continue;
          double d2 = 0.0;
          for (int k = 0; k < 3; ++k) d2 += (g.c[k] - c[k]) * (g.c[k] - c[k]);
          rho = std::max(rho, std::sqrt(d2));
        }
        f.assign(4 * static_cast<std::size_t>(m), 0.0);
        auto dot = [&](const double* u, const double* v) {
          double s = 0.0;
          for (int p = 0; p < m; ++p) s += leaf[sup_leaves[first + p]].count[i] * u[p] * v[p];
          return s / wsum;
        };
        std::vector<double> v(m);
        for (int k = 0; k < 4; ++k) {
          if (k > 0 && rho == 0.0) break;
          for (int p = 0; p < m; ++p)
            v[p] = k == 0 ? 1.0 : (leaf[sup_leaves[first + p]].c[k - 1] - c[k - 1]) / rho;
          for (int pass = 0; pass < 2; ++pass)
            for (int q = 0; q < kept; ++q) {
              const double h = dot(v.data(), f.data() + q * m);
              for (int p = 0; p < m; ++p) v[p] -= h * f[q * m + p];
            }
          const double nrm = std::sqrt(dot(v.data(), v.data()));
          if (k > 0 && !(nrm > opt.linear_keep)) continue;
          for (int p = 0; p < m; ++p) f[kept * m + p] = v[p] / nrm;
          ++kept;
        }
        for (int q = 0; q < kept; ++q)
          for (int p = 0; p < m; ++p) phi[12 * static_cast<std::size_t>(sup_leaves[first + p]) + 4 * i + q] = f[q * m + p];
      }
      fn_first[3 * S + i + 1] = fn_first[3 * S + i] + kept;
    }
    if (S + 1 < ns) fn_first[3 * (S + 1)] = fn_first[3 * S + 3];
  }
  n2 = fn_first[3 * ns];
}

void TwoLevelPrecon::Impl::restrict_linear(const double* g1v, double* g2v) const {
  const int ns = static_cast<int>(sup_first.size()) - 1;
  for (int S = 0; S < ns; ++S)
    for (int i = 0; i < 3; ++i) {
      const int nf = functions(S, i);
      double s[4] = {0.0, 0.0, 0.0, 0.0};
      for (int p = sup_first[S]; p < sup_first[S + 1]; ++p) {
        const int a = sup_leaves[p];
        for (int k = 0; k < nf; ++k) s[k] += phi[12 * static_cast<std::size_t>(a) + 4 * i + k] * g1v[3 * a + i];
      }
      for (int k = 0; k < nf; ++k) g2v[fn_first[3 * S + i] + k] = s[k];
    }
}

void TwoLevelPrecon::Impl::prolong_linear(const double* g2v, double* y1v) const {
  const int ns = static_cast<int>(sup_first.size()) - 1;
  for (int S = 0; S < ns; ++S)
    for (int p = sup_first[S]; p < sup_first[S + 1]; ++p) {
      const int a = sup_leaves[p];
      for (int i = 0; i < 3; ++i) {
        double s = 0.0;
        for (int k = 0; k < functions(S, i); ++k)
          s += phi[12 * static_cast<std::size_t>(a) + 4 * i + k] * g2v[fn_first[3 * S + i] + k];
        y1v[3 * a + i] = s;
      }
    }
}

bool TwoLevelPrecon::Impl::build_coarse_linear() {
  const int na = static_cast<int>(agg.size());
  const int ns = static_cast<int>(sup_first.size()) - 1;
  const std::vector<double>& sums = smoother->block_sums();
  const double f = inv8pimu();
  const std::size_t ld = static_cast<std::size_t>(n2);
  a2_unit = 8.0 * kPi * d.mu;
  a2_allocate();
  const auto own_col = [&](std::size_t c) { return owns_column(c); };
  auto ph = [&](int a, int i, int k) { return phi[12 * static_cast<std::size_t>(a) + 4 * i + k]; };
  // Per aggregate, the weighted sums of the far part: M (counts) and N
  // (areas), 12 each, function k of component i at 4i + k.
  std::vector<double> mw(12 * static_cast<std::size_t>(na), 0.0), nw(12 * static_cast<std::size_t>(na), 0.0);
  for (int I = 0; I < na; ++I) {
    const int S = sup_of_agg[I];
    for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
      const int a = agg_leaves[p];
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < functions(S, i); ++k) {
          mw[12 * I + 4 * i + k] += ph(a, i, k) * leaf[a].count[i];
          nw[12 * I + 4 * i + k] += ph(a, i, k) * leaf[a].area[i];
        }
    }
  }
  std::vector<std::vector<int>> sup_aggs(ns);
  for (int I = 0; I < na; ++I) sup_aggs[sup_of_agg[I]].push_back(I);
#pragma omp parallel num_threads(nthreads)
  {
    std::vector<char> is_near(na, 0);
    std::vector<double> rows;  // the support's rows, row-major: 12 x n2 at most
#pragma omp for schedule(dynamic, 1)
    for (int S = 0; S < ns; ++S) {
      const int r0 = fn_first[3 * S], nr = fn_first[3 * S + 3] - r0;
      rows.assign(static_cast<std::size_t>(nr) * ld, 0.0);
      // (row offset of component i of S) and (column of component j of T).
      for (const int I : sup_aggs[S]) {
        for (int J : near[I]) is_near[J] = 1;
        for (int J = 0; J < na; ++J) {
          const int T = sup_of_agg[J];
          bool any = false;
          for (int c = fn_first[3 * T]; c < fn_first[3 * T + 3]; ++c) any = any || own_col(c);
          if (!any) continue;
          auto add = [&](int a, int b, const double (&blk)[3][3], bool leaves) {
            for (int i = 0; i < 3; ++i)
              for (int k = 0; k < functions(S, i); ++k) {
                double* row = rows.data() + static_cast<std::size_t>(fn_first[3 * S + i] - r0 + k) * ld;
                const double pa = leaves ? ph(a, i, k) : mw[12 * I + 4 * i + k];
                for (int j = 0; j < 3; ++j) {
                  const double v = pa * blk[i][j];
                  const int c0 = fn_first[3 * T + j];
                  for (int l = 0; l < functions(T, j); ++l)
                    row[c0 + l] += v * (leaves ? ph(b, j, l) : nw[12 * J + 4 * j + l]);
                }
              }
          };
          if (is_near[J]) {
            for (int p = agg_first[I]; p < agg_first[I + 1]; ++p) {
              const int a = agg_leaves[p];
              for (int q = agg_first[J]; q < agg_first[J + 1]; ++q) {
                const int b = agg_leaves[q];
                double blk[3][3];
                if (a == b) {
                  for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) blk[i][j] = sums[9 * a + 3 * i + j];
                } else {
                  double r[3], u[6];
                  for (int k = 0; k < 3; ++k) r[k] = leaf[a].c[k] - leaf[b].c[k];
                  stokeslet(r, f, u, blob(a, b));
                  for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) blk[i][j] = -leaf[a].count[i] * u[kSym[i][j]] * leaf[b].area[j];
                }
                add(a, b, blk, true);
              }
            }
          } else {
            double r[3], u[6], blk[3][3];
            for (int k = 0; k < 3; ++k) r[k] = agg[I].c[k] - agg[J].c[k];
            stokeslet(r, f, u);
            for (int i = 0; i < 3; ++i)
              for (int j = 0; j < 3; ++j) blk[i][j] = -u[kSym[i][j]];
            add(0, 0, blk, false);
          }
        }
        for (int J : near[I]) is_near[J] = 0;
      }
      for (int rr = 0; rr < nr; ++rr)
        for (std::size_t c = 0; c < ld; ++c)
          if (own_col(c)) a2_entry(r0 + rr, c) = static_cast<float>(a2_unit * rows[rr * ld + c]);
    }
  }
  // The augmentation: A2 += scale U2 V2^T per slot, U2 and V2 the
  // projections of the leaf-level terms u and v.
  for (int s0 = 0; s0 + 1 < static_cast<int>(aug_first.size()); ++s0) {
    const double scale = null_space->scale(aug_terms[aug_first[s0]].slot);
    std::map<int, std::pair<double, double>> proj;  // unknown -> (U2, V2)
    for (int p = aug_first[s0]; p < aug_first[s0 + 1]; ++p) {
      const AugTerm& term = aug_terms[p];
      const int a = term.dof / 3, i = term.dof % 3, S = sup_of_agg[term.agg];
      for (int k = 0; k < functions(S, i); ++k) {
        auto& e = proj[fn_first[3 * S + i] + k];
        e.first += ph(a, i, k) * term.u;
        e.second += ph(a, i, k) * term.v;
      }
    }
    for (const auto& r : proj)
      for (const auto& c : proj) {
        if (!own_col(static_cast<std::size_t>(c.first))) continue;
        float& e = a2_entry(r.first, c.first);
        e = static_cast<float>(e + a2_unit * scale * r.second.first * c.second.second);
      }
  }
  return a2_lu.factor(n2, std::move(a2), nthreads, comm);
}

}  // namespace velmora
