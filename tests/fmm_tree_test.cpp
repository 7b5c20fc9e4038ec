// The octree build, its octant numbering and the passive integer sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "fmm/mktree.hpp"
#include "fmm_support.hpp"
#include "stop_record.hpp"

namespace velmora {
namespace {

using testing::TreeStore;

// ---------------------------------------------------------------- IPSORT

std::vector<int> random_keys(int n, int range, std::mt19937& rng) {
  std::uniform_int_distribution<int> d(-range, range);
  std::vector<int> v(n);
  for (auto& k : v) k = d(rng);
  return v;
}

void expect_permutation(const std::vector<int>& perm) {
  std::vector<int> s(perm);
  std::sort(s.begin(), s.end());
  for (std::size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], static_cast<int>(i) + 1);
}

// Ascending permutation-only sort: keys unchanged, ix(iperm) equals std::sort of the keys.
TEST(Ipsort, AscendingPermutationMatchesSortedKeys) {
  std::mt19937 rng(7);
  const int sizes[] = {1, 2, 3, 4, 5, 7, 16, 100, 1000, 5000};
  const int ranges[] = {0, 1, 3, 8, 1000000};  // range 0..8: many equal keys
  for (int n : sizes)
    for (int range : ranges) {
      std::vector<int> ix = random_keys(n, range, rng);
      const std::vector<int> orig = ix;
      std::vector<int> perm(n, 0);
      int ier = -1;
      IPSORT(ix.data(), n, perm.data(), 1, ier);
      ASSERT_EQ(ier, 0);
      EXPECT_EQ(ix, orig);
      expect_permutation(perm);
      std::vector<int> sorted(orig);
      std::sort(sorted.begin(), sorted.end());
      for (int k = 0; k < n; ++k) ASSERT_EQ(orig[perm[k] - 1], sorted[k]) << "n " << n;
    }
}

// Sorted, reversed and constant inputs of octant numbers as the tree produces them.
TEST(Ipsort, StructuredInputs) {
  for (int n : {2, 9, 64, 4097}) {
    std::vector<int> up(n), down(n), same(n, 5), saw(n);
    for (int k = 0; k < n; ++k) up[k] = k, down[k] = n - k, saw[k] = 1 + k % 8;
    for (auto* v : {&up, &down, &same, &saw}) {
      std::vector<int> perm(n);
      int ier = -1;
      IPSORT(v->data(), n, perm.data(), 1, ier);
      ASSERT_EQ(ier, 0);
      expect_permutation(perm);
      for (int k = 1; k < n; ++k) ASSERT_LE((*v)[perm[k - 1] - 1], (*v)[perm[k] - 1]);
    }
  }
}

// kflag 2 rearranges the keys, -1 and -2 sort descending (extreme integers included).
TEST(Ipsort, RearrangeAndDescending) {
  std::mt19937 rng(11);
  for (int n : {1, 2, 10, 777}) {
    std::vector<int> base = random_keys(n, 20, rng);
    if (n > 2) base[0] = INT_MIN, base[1] = INT_MAX;
    std::vector<int> asc(base), desc(base);
    std::sort(asc.begin(), asc.end());
    std::sort(desc.begin(), desc.end(), std::greater<int>());

    std::vector<int> ix(base), perm(n);
    int ier = -1;
    IPSORT(ix.data(), n, perm.data(), 2, ier);
    ASSERT_EQ(ier, 0);
    EXPECT_EQ(ix, asc);
    expect_permutation(perm);
    for (int k = 0; k < n; ++k) EXPECT_EQ(base[perm[k] - 1], asc[k]);

    ix = base;
    IPSORT(ix.data(), n, perm.data(), -1, ier);
    ASSERT_EQ(ier, 0);
    EXPECT_EQ(ix, base);
    for (int k = 0; k < n; ++k) EXPECT_EQ(base[perm[k] - 1], desc[k]);

    IPSORT(ix.data(), n, perm.data(), -2, ier);
    ASSERT_EQ(ier, 0);
    EXPECT_EQ(ix, desc);
  }
}

// n < 1 and an unknown kflag give ier 1 and 2 with their messages and sort nothing.
TEST(Ipsort, ArgumentChecks) {
  UnitsGuard guard;
  std::ostringstream err;
  units().set_error(&err);
  int ix[3] = {3, 1, 2}, perm[3] = {-7, -7, -7};
  int ier = 0;
  IPSORT(ix, 0, perm, 1, ier);
  EXPECT_EQ(ier, 1);
  EXPECT_NE(err.str().find("The number of values to be sorted, N, is not positive."),
            std::string::npos);
  err.str("");
  IPSORT(ix, 3, perm, 3, ier);
  EXPECT_EQ(ier, 2);
  EXPECT_NE(err.str().find("The sort control parameter, KFLAG, is not 2, 1, -1, or -2."),
            std::string::npos);
  EXPECT_NE(err.str().find("IPSORT"), std::string::npos);
  EXPECT_EQ(perm[0], -7);
  EXPECT_EQ(ix[0], 3);
}

// ---------------------------------------------------------------- ibrnch

// Octants of strict points, the tie rules on the axes and the mid-plane, and the NaN stop.
TEST(Ibrnch, OctantsAndTies) {
  const double c[3] = {0.5, -0.25, 2.0};
  auto oct = [&](double x, double y, double z) {
    const double p[3] = {c[0] + x, c[1] + y, c[2] + z};
    return ibrnch(p, c);
  };
  EXPECT_EQ(oct(1, 1, 1), 1);
  EXPECT_EQ(oct(-1, 1, 1), 2);
  EXPECT_EQ(oct(-1, -1, 1), 3);
  EXPECT_EQ(oct(1, -1, 1), 4);
  EXPECT_EQ(oct(1, 1, -1), 5);
  EXPECT_EQ(oct(-1, 1, -1), 6);
  EXPECT_EQ(oct(-1, -1, -1), 7);
  EXPECT_EQ(oct(1, -1, -1), 8);
  EXPECT_EQ(oct(0, 0, 1), 1);  // p_x = c_x, p_y = c_y
  EXPECT_EQ(oct(0, 0, -1), 5);
  EXPECT_EQ(oct(0, -1, 1), 3);  // p_x = c_x, p_y < c_y
  EXPECT_EQ(oct(0, -1, -1), 7);
  EXPECT_EQ(oct(-1, 0, 1), 3);  // p_x < c_x, p_y = c_y
  EXPECT_EQ(oct(-1, 0, -1), 7);
  EXPECT_EQ(oct(0, 1, 1), 1);    // p_x = c_x, p_y > c_y
  EXPECT_EQ(oct(1, 0, 1), 1);    // p_x > c_x, p_y = c_y
  EXPECT_EQ(oct(-1, -1, 0), 3);  // mid-plane goes up
  EXPECT_EQ(oct(0, 0, 0), 1);
  // Child centre signs agree with the octant's defining half-spaces.
  for (int l = 1; l <= 8; ++l) {
    const int o = oct(0.5 * octant_sign(l, 1), 0.5 * octant_sign(l, 2), 0.5 * octant_sign(l, 3));
    EXPECT_EQ(o, l);
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(test::stop_record([&] { oct(nan, 1, 1); }), " # stop in ibrnch\n");
}

// ---------------------------------------------------------------- MKTREE

struct Points {
  int nelem = 0, nnode = 0;
  std::vector<double> xnode, xcol;
};

// Points from a surface mesh: nodes and centroids.
Points from_mesh(const SurfaceMesh& m) {
  Points p;
  p.nelem = m.nelem;
  p.nnode = m.nnode;
  p.xnode = m.xnode;
  p.xcol.resize(3 * static_cast<std::size_t>(m.nelem));
  collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), p.xcol.data());
  return p;
}

// Random collocation points in a box (clustered in one corner for depth); the
// nodes are the box corners.
Points random_points(int n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Points p;
  p.nelem = n;
  p.nnode = 2;
  p.xnode = {-1.0, 2.0, -0.5, 1.5, 0.0, 3.0};
  p.xcol.resize(3 * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double s = i % 3 == 0 ? 0.05 : 1.0;  // a third of them in a small cluster
    p.xcol[i] = -1.0 + 3.0 * s * u(rng);
    p.xcol[i + n] = -0.5 + 2.0 * s * u(rng);
    p.xcol[i + 2 * n] = 3.0 * s * u(rng);
  }
  return p;
}

struct Built {
  std::string console, log;
};

Built build(const Points& p, TreeStore& ts, int minlev, int maxl, double cubfac) {
  UnitsGuard guard;
  std::ostringstream con, log;
  units().set_console(&con);
  units().attach(6, &log);
  MKTREE(ts.maxdep(), minlev, ts.maxcel(), maxl, p.nelem, p.nnode, ts.view(), p.xnode.data(),
         p.xcol.data(), cubfac, ts.ioct(), ts.iperm());
  return {con.str(), log.str()};
}

// Checks every invariant of a finished tree.
void check_invariants(const Points& p, TreeStore& ts, int minlev, int maxl, double cubfac) {
  const Tree t = ts.view();
  const int ncell = t.ncell(), nlev = *t.nlev;
  const long ne = p.nelem;
  // Each element once.
  std::vector<int> seen(p.nelem + 1, 0);
  for (int k = 1; k <= p.nelem; ++k) ++seen[t.elord(k)];
  for (int e = 1; e <= p.nelem; ++e) ASSERT_EQ(seen[e], 1) << "element " << e;
  // Root and sizes.
  double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < p.nnode; ++i)
      lo[k] = std::min(lo[k], p.xnode[i + k * p.nnode]),
      hi[k] = std::max(hi[k], p.xnode[i + k * p.nnode]);
  const double root = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]}) * cubfac;
  for (int lev = 0; lev <= nlev; ++lev) EXPECT_EQ(t.size(lev), root / std::pow(2.0, lev));
  EXPECT_EQ(t.fst(1), 1);
  EXPECT_EQ(t.lst(1), p.nelem);
  EXPECT_EQ(t.parent(1), 0);
  // Levels are consecutive runs of cells.
  EXPECT_EQ(t.levf(0), 1);
  EXPECT_EQ(t.levl(0), 1);
  for (int lev = 1; lev <= nlev; ++lev) {
    EXPECT_EQ(t.levf(lev), t.levl(lev - 1) + 1);
    EXPECT_LE(t.levf(lev), t.levl(lev));
  }
  EXPECT_EQ(t.levl(nlev), ncell);
  for (int lev = 0; lev <= nlev; ++lev)
    for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
      ASSERT_GE(t.lst(c), t.fst(c)) << "empty cell " << c;
      if (lev > 0) {
        const int par = t.parent(c);
        EXPECT_GE(par, t.levf(lev - 1));
        EXPECT_LE(par, t.levl(lev - 1));
      }
      bool has_child = false;
      int next = t.fst(c);
      for (int oct = 1; oct <= 8; ++oct) {
        const int q = t.child(c, oct);
        if (q == 0) continue;
        has_child = true;
        EXPECT_EQ(t.parent(q), c);
        EXPECT_EQ(t.fst(q), next) << "children's runs concatenate in octant order";
        next = t.lst(q) + 1;
        for (int k = 1; k <= 3; ++k)
          EXPECT_EQ(t.cen(q, k), t.cen(c, k) + t.size(lev) * 0.25 * octant_sign(oct, k));
        for (int k = t.fst(q); k <= t.lst(q); ++k) {
          const long e = t.elord(k) - 1;
          const double pt[3] = {p.xcol[e], p.xcol[e + ne], p.xcol[e + 2 * ne]};
          const double cc[3] = {t.cen(c, 1), t.cen(c, 2), t.cen(c, 3)};
          ASSERT_EQ(ibrnch(pt, cc), oct);
        }
      }
      if (has_child) {
        EXPECT_EQ(next, t.lst(c) + 1);
        EXPECT_FALSE(is_leaf(t, c, lev, maxl, minlev));
      } else {
        EXPECT_TRUE(is_leaf(t, c, lev, maxl, minlev)) << "cell " << c;
        EXPECT_LE(t.lst(c) - t.fst(c) + 1, maxl);
        EXPECT_GE(lev, minlev);
      }
      // Every element's collocation point lies in its cell's cube.
      for (int k = t.fst(c); k <= t.lst(c); ++k) {
        const long e = t.elord(k) - 1;
        for (int d = 1; d <= 3; ++d)
          ASSERT_LE(std::abs(p.xcol[e + (d - 1) * ne] - t.cen(c, d)),
                    0.5 * t.size(lev) * (1 + 1e-12));
      }
    }
}

// Invariants on random clustered points and on a sphere and a flat plate mesh.
TEST(Mktree, InvariantsRandomAndStructured) {
  struct Case {
    Points p;
    int minlev, maxl;
    double cubfac;
  };
  std::vector<Case> cases;
  cases.push_back({random_points(3000, 1), 2, 10, 1.01});
  cases.push_back({random_points(500, 2), 3, 1, 1.0});
  cases.push_back({from_mesh(icosphere(4, 2.0)), 2, 30, 1.05});
  cases.push_back({from_mesh(ellipsoid(3, 2.0, 1.0, 0.8)), 4, 7, 1.0});
  for (auto& cs : cases) {
    TreeStore ts(cs.p.nelem, 4 * cs.p.nelem + 16, 30);
    build(cs.p, ts, cs.minlev, cs.maxl, cs.cubfac);
    check_invariants(cs.p, ts, cs.minlev, cs.maxl, cs.cubfac);
  }
}

// The report: levels, cells and an empty record, each to the console and to the log.
TEST(Mktree, ReportLines) {
  Points p = random_points(200, 3);
  TreeStore ts(p.nelem, 1000, 20);
  const Built b = build(p, ts, 2, 5, 1.01);
  const Tree t = ts.view();
  const std::string expect = fmt::list("Number of tree levels                =", *t.nlev) + "\n" +
                             fmt::list("Number of cells in tree structure    =", t.ncell()) + "\n" +
                             fmt::list() + "\n";
  EXPECT_EQ(b.console, expect);
  EXPECT_EQ(b.log, expect);
  EXPECT_EQ(b.console.substr(0, 39), " Number of tree levels                =");
}

// maxl >= nelem and minlev 2: two levels, every element in a level-2 leaf;
// minlev 0: only the root, zero levels reported.
TEST(Mktree, ShallowTrees) {
  Points p = from_mesh(icosphere(2, 1.0));
  {
    TreeStore ts(p.nelem, 100, 10);
    build(p, ts, 2, p.nelem, 1.01);
    const Tree t = ts.view();
    EXPECT_EQ(*t.nlev, 2);
    for (int c = t.levf(2); c <= t.levl(2); ++c) EXPECT_TRUE(is_leaf(t, c, 2, p.nelem, 2));
    EXPECT_EQ(t.fst(t.levf(2)), 1);
    EXPECT_EQ(t.lst(t.levl(2)), p.nelem);
    check_invariants(p, ts, 2, p.nelem, 1.01);
  }
  {
    TreeStore ts(p.nelem, 100, 10);
    const Built b = build(p, ts, 0, p.nelem, 1.01);
    EXPECT_EQ(ts.view().ncell(), 1);
    EXPECT_EQ(*ts.view().nlev, 0);
    EXPECT_EQ(b.console.substr(0, b.console.find('\n') + 1),
              fmt::list("Number of tree levels                =", 0) + "\n");
  }
}

// A flat mesh in the plane z = c_z of the root centre: every element in octants 1 to 4.
TEST(Mktree, PlaneThroughRootCentreGoesUp) {
  // A square plate of 2 x n x n triangles in z = 0, with one node at z = -1
  // and one at z = +1 so that the root centre lies in the plate's plane.
  const int n = 12;
  SurfaceMesh m;
  m.nnode = (n + 1) * (n + 1) + 2;
  m.nelem = 2 * n * n;
  m.xnode.assign(3 * static_cast<std::size_t>(m.nnode), 0.0);
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      const int k = j * (n + 1) + i;
      m.xnode[k] = i;
      m.xnode[k + m.nnode] = j;
    }
  m.xnode[m.nnode - 2 + 2 * m.nnode] = -1.0;
  m.xnode[m.nnode - 1 + 2 * m.nnode] = 1.0;
  m.ielem.assign(3 * static_cast<std::size_t>(m.nelem), 0);
  int e = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const int a = j * (n + 1) + i + 1, b = a + 1, c = a + n + 1, d = c + 1;
      const int tri[2][3] = {{a, b, d}, {a, d, c}};
      for (const auto& tr : tri) {
        for (int v = 0; v < 3; ++v) m.ielem[e + v * m.nelem] = tr[v];
        ++e;
      }
    }
  Points p = from_mesh(m);
  TreeStore ts(p.nelem, 2000, 20);
  build(p, ts, 2, 8, 1.0);
  const Tree t = ts.view();
  EXPECT_EQ(t.cen(1, 3), 0.0);
  for (int oct = 5; oct <= 8; ++oct) EXPECT_EQ(t.child(1, oct), 0);
  check_invariants(p, ts, 2, 8, 1.0);
}

// maxcel equal to the cells needed succeeds with the same tree; one less stops.
TEST(Mktree, MaxcelExactFitAndOneLess) {
  Points p = random_points(800, 5);
  int needed = 0, levels = 0;
  {
    TreeStore ts(p.nelem, 4000, 20);
    build(p, ts, 2, 6, 1.01);
    needed = ts.view().ncell();
    levels = *ts.view().nlev;
  }
  {
    TreeStore ts(p.nelem, needed, 20);
    build(p, ts, 2, 6, 1.01);
    EXPECT_EQ(ts.view().ncell(), needed);
    EXPECT_EQ(*ts.view().nlev, levels);
    check_invariants(p, ts, 2, 6, 1.01);
  }
  {
    TreeStore ts(p.nelem, needed - 1, 20);
    UnitsGuard guard;
    std::ostringstream con;
    units().set_console(&con);
    EXPECT_EQ(test::stop_record([&] { build(p, ts, 2, 6, 1.01); }),
              " # maxcel is too small; stop\n");
    EXPECT_EQ(con.str(), "");  // no statistics after a stop
  }
}

// Coincident collocation points with maxl 1 cannot be separated: the maxdep stop;
// a maxdep one below the depth a tree needs stops likewise.
TEST(Mktree, MaxdepStop) {
  Points p;
  p.nelem = 3;
  p.nnode = 2;
  p.xnode = {0.0, 1.0, 0.0, 1.0, 0.0, 1.0};
  p.xcol = {0.3, 0.3, 0.8, 0.2, 0.2, 0.9, 0.6, 0.6, 0.1};  // elements 1 and 2 coincide
  {
    TreeStore ts(p.nelem, 1000, 25);
    EXPECT_EQ(test::stop_record([&] { build(p, ts, 2, 1, 1.0); }),
              " # maxdep is too small; stop\n");
  }
  Points q = random_points(500, 9);
  int depth = 0;
  {
    TreeStore ts(q.nelem, 4000, 30);
    build(q, ts, 2, 4, 1.0);
    depth = *ts.view().nlev;
  }
  {
    TreeStore ts(q.nelem, 4000, depth);
    build(q, ts, 2, 4, 1.0);
    EXPECT_EQ(*ts.view().nlev, depth);
  }
  {
    TreeStore ts(q.nelem, 4000, depth - 1);
    EXPECT_EQ(test::stop_record([&] { build(q, ts, 2, 4, 1.0); }),
              " # maxdep is too small; stop\n");
  }
}

}  // namespace
}  // namespace velmora
