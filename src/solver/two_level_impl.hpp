// The state of TwoLevelPrecon shared by its two source files: the set-up
// (two_level.cpp: aggregates, leaf blocks, coarse matrix) and the
// application (two_level_apply.cpp: the sums between leaves and aggregates,
// the cycle).  Conventions and formulas: two_level.hpp.
#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/comm.hpp"
#include "common/constants.hpp"
#include "solver/tiled_lu.hpp"
#include "solver/two_level.hpp"

namespace velmora {
namespace two_level {

// The regularised Stokeslet U(r) = ((|r|^2 + 2 e2) I + r r^T) / (|r|^2 +
// e2)^(3/2) / (8 pi mu), six entries (xx, xy, xz, yy, yz, zz); e2 = 0 is the
// Stokeslet (I / |r| + r r^T / |r|^3) / (8 pi mu).
inline void stokeslet(const double* r, double inv8pimu, double* u, double e2 = 0.0) {
  const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + e2;
  const double ir = 1.0 / std::sqrt(r2);
  const double ir3 = ir * ir * ir;
  const double d = ir + e2 * ir3;
  u[0] = inv8pimu * (d + r[0] * r[0] * ir3);
  u[1] = inv8pimu * (r[0] * r[1] * ir3);
  u[2] = inv8pimu * (r[0] * r[2] * ir3);
  u[3] = inv8pimu * (d + r[1] * r[1] * ir3);
  u[4] = inv8pimu * (r[1] * r[2] * ir3);
  u[5] = inv8pimu * (d + r[2] * r[2] * ir3);
}

inline constexpr int kSym[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};

// A group of elements (leaf or aggregate): centroid of its collocation
// points, per component the count of elements and their area with that
// component velocity-prescribed.
struct Group {
  double c[3] = {0.0, 0.0, 0.0};
  double r2 = 0.0;  // largest squared distance of a collocation point from c
  double count[3] = {0.0, 0.0, 0.0};
  double area[3] = {0.0, 0.0, 0.0};
};

// One term of a closed body's augmentation projected on the leaf level:
// body slot, leaf unknown 3a + i, its aggregate, u = sum of nu_k,i over the
// body's elements k of leaf a, v = sum of area_k nu_k,i.
struct AugTerm {
  int slot = 0, dof = 0, agg = 0;
  double u = 0.0, v = 0.0;
};

}  // namespace two_level

struct TwoLevelPrecon::Impl {
  using Group = two_level::Group;
  using AugTerm = two_level::AugTerm;
  PreconData d;
  FastPrecon* smoother = nullptr;
  const ClosedBodyNullSpace* null_space = nullptr;
  CoarseOptions opt;
  int nthreads = 1;

  // Leaves in the smoother's order, their elements and groups.
  std::vector<int> leaf_first;  // leaf i's elements: elements[leaf_first[i] .. leaf_first[i+1])
  std::vector<int> elements;
  std::vector<double> element_area;  // area of elements[q] at q
  std::vector<Group> leaf;
  // Aggregates: their leaves agg_leaves[agg_first[I] .. agg_first[I+1]).
  std::vector<int> agg_first, agg_leaves;
  std::vector<Group> agg;
  std::vector<double> radius;
  std::vector<std::vector<int>> near;  // per aggregate, the near ones (itself included), ascending
  std::vector<int> agg_of_leaf;
  // Unknowns: 3 per leaf (3a + i) and 3 per aggregate (3I + i); a component
  // no element of the group has velocity-prescribed gets an identity row.
  int n1 = 0, n2 = 0;
  // D1: per aggregate the factored 3m x 3m block (m leaves), at d1_off[I].
  std::vector<std::size_t> d1_off;
  std::vector<double> d1, d1_raw;  // factored, and as built
  std::vector<int> d1_piv;
  std::vector<float> a2;  // a2_unit A2 as built, until factored into a2_lu
  TiledLU a2_lu;
  double a2_unit = 1.0;
  // g2 = A2^-1 g2.
  void solve_coarse() {
    const auto start = std::chrono::steady_clock::now();
    a2_lu.solve(g2.data());
    for (double& v : g2) v *= a2_unit;
    solve_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  // The augmentation at the leaf level, grouped by slot (aug_first) and
  // sorted by aggregate and unknown within a slot.
  std::vector<AugTerm> aug_terms;
  std::vector<int> aug_first;
  bool built = false, active = false;
  double seconds = 0.0, apply_seconds = 0.0, solve_seconds = 0.0;
  // Per application: leaf and aggregate charges, the two levels' vectors,
  // the augmentation's image.
  std::vector<double> qleaf, qagg, g1, y1, g2, aug, t2;
  // A run of several processes (distribute): process r forms the off-leaf
  // sums of the aggregates [agg_begin[r], agg_begin[r + 1]) in each
  // correction, and the gather moves 3 x their leaves' count per process.
  const Comm* comm = nullptr;
  // keep_own_entries: this process's leaves, every process's leaves in
  // process order and 3 x their counts, for the gather of the charges.
  bool own_only = false;
  std::vector<int> own_leaves, share_leaves, q_counts, own_elements;
  std::vector<double> q_mine, q_all;
  // aug = the augmentation of z1 (bem/null_space.hpp), its inner products
  // added exactly (over this process's leaves when own_only, then across
  // the processes).
  void augmentation_of(const double* z1);
  std::vector<int> agg_begin, g_counts;
  std::vector<double> g_mine, g_all;

  double inv8pimu() const { return 1.0 / (8.0 * kPi * d.mu); }
  // In a run of several processes each forms only the columns of A2 in the
  // factorisation's tiles it owns (tiled_lu.hpp), the only ones it reads,
  // and stores only those.  a2_allocate sizes a2 for them and finds, per
  // column, its offset in a2 (-1: another process's).
  std::vector<std::int64_t> a2_col;
  void a2_allocate() {
    const int np = comm ? comm->size() : 1, me = comm ? comm->rank() : 0;
    a2_col.assign(static_cast<std::size_t>(n2), -1);
    for (int c = 0; c < n2; ++c)
      if (TiledLU::owner(c, np) == me)
        a2_col[c] = static_cast<std::int64_t>(TiledLU::local_column(c, np)) * n2;
    a2.assign(static_cast<std::size_t>(n2) * TiledLU::local_columns(n2, np, me), 0.0f);
  }
  bool owns_column(std::size_t c) const { return a2_col[c] >= 0; }
  // Entry (r, c) of A2, c a column this process owns.
  float& a2_entry(std::size_t r, std::size_t c) { return a2[r + static_cast<std::size_t>(a2_col[c])]; }
  // The regularisation between leaves a and b.
  double blob(int a, int b) const { return opt.blob * (leaf[a].r2 + leaf[b].r2); }
  int leaves_in(int I) const { return agg_first[I + 1] - agg_first[I]; }
  // Components with at least one velocity-prescribed element, per leaf and
  // per aggregate.
  int leaf_count() const {
    int n = 0;
    for (const Group& g : leaf)
      for (double c : g.count) n += c > 0.0;
    return n;
  }
  int coarse_count() const {
    if (linear()) return n2;
    int n = 0;
    for (const Group& g : agg)
      for (double c : g.count) n += c > 0.0;
    return n;
  }

  // The linear coarse space (CoarseOptions::Basis::kLinear, without the
  // cycle): support of each aggregate, the supports' leaves
  // (sup_leaves[sup_first[S] .. sup_first[S + 1]), in aggregate then leaf
  // order), the first unknown of support S and component i at
  // fn_first[3S + i] (unknowns S-major, then component, then function), and
  // phi[12a + 4i + k], function k of component i at leaf a.
  bool linear() const { return opt.basis == CoarseOptions::Basis::kLinear && !opt.leaf_cycle; }
  std::vector<int> agg_cell, sup_of_agg, sup_first, sup_leaves, fn_first;
  std::vector<double> phi;
  int functions(int S, int i) const { return fn_first[3 * S + i + 1] - fn_first[3 * S + i]; }
  void find_supports(const std::vector<char>& is_sup);
  bool build_coarse_linear();
  // g2 = P2^T g1 and y1 = P2 g2 of the linear space.
  void restrict_linear(const double* g1v, double* g2v) const;
  void prolong_linear(const double* g2v, double* y1v) const;

  void find_aggregates();
  void gather_augmentation();
  bool build_blocks(const std::vector<double>& sums);
  bool build_coarse();
  void build();
  enum class Sums { kLeaves, kLeavesFromOtherAggregates, kAggregates };
  // Over the aggregates [first, last) (last -1: to the end).
  void off_leaf_sums(const double* q_leaf, const double* q_agg, Sums what, double* out,
                     int first = 0, int last = -1) const;
  void leaf_level_product(const double* y, double* t);
  void block_solve(const double* g, double* y) const;
  void v_cycle(const double* g, double* y);
  void sum_over_aggregates(const double* v, double* out) const;
  void augmentation_between(const double* y, bool leaf_targets, double* out) const;
  void correct(const double* z1, double* z);
};


}  // namespace velmora
