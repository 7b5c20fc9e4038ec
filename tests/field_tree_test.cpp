// The target cells of the field evaluation on the solver's grid: every
// element reaches every target leaf exactly once (expansions or exact
// integrals), the multipole lists are separated, the points lie in their
// cells, and the cells that are the solver's carry the solver's lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/field_tree.hpp"
#include "fmm/owned_tree.hpp"
#include "field_support.hpp"

namespace velmora {
namespace {

using testing::FieldModel;

// Two spheres of different sizes, points near them, between them, outside
// the root cube on every side, far away and farther than the grid reaches.
TEST(FieldTree, EveryElementReachesEveryTargetLeafOnce) {
  SurfaceMesh m = icosphere(3, 1.0);
  const double c2[3] = {2.6, 0.4, -0.3};
  append_mesh(m, icosphere(2, 0.5, c2));
  const FieldModel fm(m);
  const MeshView mv = fm.view();
  const int maxl = 12, minlev = 2, maxp = 5;
  const OwnedTree owned(20, minlev, 0, maxl, mv.nelem, mv.nnode, mv.xnode, mv.xcol, 1.01);
  const Tree& src = owned.tree();
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  std::vector<double> xyz;
  auto add = [&](double x, double y, double z) { xyz.insert(xyz.end(), {x, y, z}); };
  for (int k = 0; k < 600; ++k) add(1.3 + 4.0 * uni(rng), 2.5 * uni(rng), 2.5 * uni(rng));
  for (int k = 0; k < 200; ++k) {  // near the large sphere's surface
    double d[3] = {uni(rng), uni(rng), uni(rng)};
    const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const double s = (1.0 + 0.05 * uni(rng)) / r;
    add(s * d[0], s * d[1], s * d[2]);
  }
  add(40.0, -3.0, 2.0);
  add(-7.0, 30.0, -1.0);
  add(1e14, 2e14, -3e14);  // beyond the grid: a cell of its own
  for (int k = 0; k < 20; ++k) add(0.25, 0.25, 0.25);  // coincident: split to the deepest level
  const int n = static_cast<int>(xyz.size() / 3);
  const int maxdep = 20;
  const FieldTree t = build_field_tree(src, maxl, minlev, mv.nelem, n, xyz.data(), maxp, maxdep);

  // Every point in exactly one target leaf, inside its cube.
  std::vector<int> seen(n, 0);
  int leaves = 0, lone = 0, outside_lists = 0;
  std::vector<int> hits(mv.nelem + 1);
  for (std::size_t c = 0; c < t.cells.size(); ++c) {
    const FieldCell& b = t.cells[c];
    for (int q : t.inter[c]) {
      const FieldCell& f = t.cells[q];
      ASSERT_EQ(f.level, b.level);
      ASSERT_NE(f.role, 0);
      if (!b.lone) {
        const std::int64_t d = std::max({std::abs(f.ix - b.ix), std::abs(f.iy - b.iy), std::abs(f.iz - b.iz)});
        EXPECT_GE(d, 2) << c;
      }
      if (b.level < 2) ++outside_lists;
    }
    for (int q : t.neigh[c]) {
      const FieldCell& f = t.cells[q];
      EXPECT_LE(std::max({std::abs(f.ix - b.ix), std::abs(f.iy - b.iy), std::abs(f.iz - b.iz)}), 1);
    }
    if (!b.target_leaf()) continue;
    ++leaves;
    lone += b.lone ? 1 : 0;
    // A leaf off the deepest level neighbours no internal source cell.
    if (b.level < maxdep)
      for (int q : t.neigh[c]) EXPECT_EQ(t.cells[q].role, 2) << c;
    EXPECT_TRUE(b.te - b.tb <= maxp || b.level == maxdep) << c;
    for (int i = b.tb; i < b.te; ++i) {
      const int p = t.points[i];
      ++seen[p];
      const double s = t.size[b.level];
      for (int k = 0; k < 3; ++k) {
        const double x = xyz[3 * p + k];
        if (b.lone) {
          EXPECT_EQ(x, b.cen[k]);
        } else {
          EXPECT_LE(std::fabs(x - b.cen[k]), 0.5 * s * (1 + 1e-12)) << p;
        }
      }
    }
    // Far (interaction lists of the leaf and its ancestors: whole
    // subtrees), coarse leaves of the leaf and its ancestors, neighbours'
    // subtrees: each element once.
    std::fill(hits.begin(), hits.end(), 0);
    auto take = [&](int q) {
      for (int pos = t.cells[q].sb; pos < t.cells[q].se; ++pos) ++hits[t.elems[pos]];
    };
    for (int a = static_cast<int>(c); a >= 0; a = t.cells[a].parent) {
      for (int q : t.inter[a]) take(q);
      for (int q : t.coarse[a]) take(q);
    }
    for (int q : t.neigh[c]) take(q);
    for (int e = 1; e <= mv.nelem; ++e) ASSERT_EQ(hits[e], 1) << "leaf " << c << " element " << e;
  }
  for (int p = 0; p < n; ++p) ASSERT_EQ(seen[p], 1) << p;
  EXPECT_EQ(lone, 1);
  EXPECT_GT(leaves, 100);
  EXPECT_GT(outside_lists, 0);  // translations on levels 0 and 1, outside the root

  // The cells that are the solver's, on levels >= 2, have its lists
  // (cell_lists of the passes), as solver cells.
  int compared = 0;
  for (std::size_t c = 0; c < t.cells.size(); ++c) {
    const FieldCell& b = t.cells[c];
    if (b.src == 0 || b.level < 2 || b.te == b.tb) continue;
    CellLists ref;
    cell_lists(src, b.src, b.level, minlev, maxl, ref);
    auto solver_cells = [&](const std::vector<int>& v) {
      std::vector<int> s;
      for (int q : v) s.push_back(t.cells[q].src);
      std::sort(s.begin(), s.end());
      return s;
    };
    auto sorted = [](const int* a, int k) {
      std::vector<int> s(a, a + k);
      std::sort(s.begin(), s.end());
      return s;
    };
    EXPECT_EQ(solver_cells(t.inter[c]), sorted(ref.inter, ref.ninter)) << c;
    EXPECT_EQ(solver_cells(t.neigh[c]), sorted(ref.neigh, ref.nneigh)) << c;
    EXPECT_EQ(solver_cells(t.coarse[c]), sorted(ref.coarse, ref.ncoarse)) << c;
    ++compared;
  }
  EXPECT_GT(compared, 20);
}

}  // namespace
}  // namespace velmora
