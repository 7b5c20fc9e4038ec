// The coarse-corrected preconditioner against its dense twin, and its effect on whole solves.
#include "solver/two_level.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bem/bodies.hpp"
#include "bem/shapes.hpp"
#include "common/blas.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"
#include "solver/lu.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/result_io.hpp"

namespace velmora {
namespace {

using Dense = std::vector<double>;  // column-major

// x := M^-1 x for a dense n x n matrix (LU with partial pivoting).
void dense_solve(Dense m, int n, double* x) {
  std::vector<int> piv(n);
  int info = 0;
  lufact(m.data(), n, n, piv.data(), info);
  ASSERT_EQ(info, 0);
  lusolv(m.data(), n, n, piv.data(), x, 0);
}

// y = M x for a dense m x n matrix.
std::vector<double> times(const Dense& a, int m, int n, const std::vector<double>& x) {
  std::vector<double> y(m, 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) y[i] += a[i + static_cast<std::size_t>(j) * m] * x[j];
  return y;
}

// Two spheres: the first with every velocity prescribed (a closed body with the augmentation),
// the second with random codes (about half of the components traction-prescribed).
testing::Model two_bodies() {
  const std::vector<SphereSpec> list = {{{0.0, 0.0, 0.0}, 1.0}, {{2.6, 0.4, -0.3}, 0.7}};
  testing::Model m = testing::make_model(spheres(2, list), 0.7, 5);
  const int ne = m.mesh.nelem;
  for (int e = 0; e < ne / 2; ++e)
    for (int k = 0; k < 3; ++k) m.bc[e + k * static_cast<std::size_t>(ne)] = 0.0;
  return m;
}

// The preconditioner is the cycle its header documents, built here densely from its formulas:
// A~ (the exact leaf blocks, regularised Stokeslets between leaf centroids of near aggregates and between
// aggregate centroids of far ones, the augmentation), P1, A1 = P1^T A~ P1, its aggregate blocks
// D1, P2, A2 = P2^T A1 P2, then z1 = B^-1 x, g1 = P1^T (x - A~ z1), y' = D1^-1 g1,
// y = y' + P2 A2^-1 P2^T (g1 - A1 y'), y += D1^-1 (g1 - A1 y), z = z1 + P1 y.  And it gives the
// same bits on one and two threads.  Both ways of solving the leaf level are checked, and the
// linear coarse space: its functions orthonormal over each support's leaves and spanning 1 and the
// coordinates (to what it drops), and its correction y = P2 (P2^T A1 P2)^-1 P2^T g1.
TEST(TwoLevel, CorrectionsAreTheirDenseTwinsOnMixedClosedBodies) {
  const testing::Model m = two_bodies();
  const int ne = m.mesh.nelem, n = 3 * ne;
  testing::FmmSetup s(m, 8, 4);
  testing::PreconStore ps(m, s);
  const MeshView mv = m.view();
  const ClosedBodyNullSpace ns(mv, find_bodies(mv), m.mu);
  ASSERT_EQ(ns.treated().size(), 1u);
  CoarseOptions opt;
  opt.aggregate_elements = 40;
  const std::vector<double> x = testing::uniform_vector(n, 17);
  std::vector<double> z[3][2];  // [constants, leaf cycle, linear][threads - 1]
  std::vector<int> agg_of_leaf, cells;
  int na = 0;
  // The linear space: supports, functions per support and component, values per leaf.
  int nsup = 0;
  std::vector<int> sup_of_agg, nfun;
  std::vector<double> fun;
  for (int variant = 0; variant <= 2; ++variant)
    for (int threads = 1; threads <= 2; ++threads) {
      const int saved = omp_get_max_threads();
      omp_set_num_threads(threads);
      CoarseOptions o = opt;
      o.leaf_cycle = variant == 1;
      if (variant == 2) {
        o.basis = CoarseOptions::Basis::kLinear;
        o.max_supports = std::max(2, na / 3);  // na: from the variants before
      }
      FastPrecon fp(ps.data);
      TwoLevelPrecon tl(ps.data, fp, &ns, o);
      z[variant][threads - 1].assign(n, 0.0);
      tl.apply(x.data(), z[variant][threads - 1].data());
      omp_set_num_threads(saved);
      ASSERT_TRUE(tl.active());
      na = tl.aggregates();
      cells = fp.leaf_cells();
      agg_of_leaf.clear();
      for (int i = 0; i < tl.leaves(); ++i) agg_of_leaf.push_back(tl.aggregate_of_leaf(i));
      if (variant == 2) {
        nsup = tl.supports();
        sup_of_agg.clear();
        for (int I = 0; I < na; ++I) sup_of_agg.push_back(tl.support_of_aggregate(I));
        nfun.clear();
        for (int S = 0; S < nsup; ++S)
          for (int i = 0; i < 3; ++i) nfun.push_back(tl.coarse_functions(S, i));
        fun.clear();
        for (int a = 0; a < tl.leaves(); ++a)
          for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 4; ++k) fun.push_back(tl.coarse_function(a, i, k));
      }
    }
  for (int variant = 0; variant <= 2; ++variant) EXPECT_EQ(z[variant][0], z[variant][1]) << variant;
  ASSERT_GT(na, 3);
  ASSERT_GT(nsup, 1);
  ASSERT_LT(nsup, na);

  // Leaves and aggregates: elements, centroids, counts and areas of velocity components.
  const Tree t = s.tree.view();
  const int nl = static_cast<int>(cells.size());
  std::vector<int> leaf_of(ne, -1);
  for (int a = 0; a < nl; ++a)
    for (int q = t.fst(cells[a]); q <= t.lst(cells[a]); ++q) leaf_of[t.elord(q) - 1] = a;
  std::vector<double> area(ne);
  for (int e = 1; e <= ne; ++e) area[e - 1] = element_geometry(mv, e).area;
  auto velocity = [&](int e0, int k) { return !mv.traction_prescribed(e0 + 1, k + 1); };
  std::vector<double> lc(3 * nl, 0.0), lnum(nl, 0.0), lcount(3 * nl, 0.0), larea(3 * nl, 0.0);
  std::vector<double> gc(3 * na, 0.0), gnum(na, 0.0), gcount(3 * na, 0.0), garea(3 * na, 0.0);
  for (int e = 0; e < ne; ++e) {
    const int a = leaf_of[e], I = agg_of_leaf[a];
    lnum[a] += 1.0;
    gnum[I] += 1.0;
    for (int k = 0; k < 3; ++k) {
      lc[3 * a + k] += mv.col(e + 1, k + 1);
      gc[3 * I + k] += mv.col(e + 1, k + 1);
      if (velocity(e, k)) {
        lcount[3 * a + k] += 1.0;
        larea[3 * a + k] += area[e];
        gcount[3 * I + k] += 1.0;
        garea[3 * I + k] += area[e];
      }
    }
  }
  for (int a = 0; a < nl; ++a)
    for (int k = 0; k < 3; ++k) lc[3 * a + k] /= lnum[a];
  for (int I = 0; I < na; ++I)
    for (int k = 0; k < 3; ++k) gc[3 * I + k] /= gnum[I];
  std::vector<double> rad(na, 0.0);
  for (int e = 0; e < ne; ++e) {
    const int I = agg_of_leaf[leaf_of[e]];
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) d2 += std::pow(mv.col(e + 1, k + 1) - gc[3 * I + k], 2);
    rad[I] = std::max(rad[I], std::sqrt(d2));
  }
  auto is_near = [&](int I, int J) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) d2 += std::pow(gc[3 * I + k] - gc[3 * J + k], 2);
    return I == J || std::sqrt(d2) <= opt.separation * (rad[I] + rad[J]);
  };
  // Leaf radii for the regularisation between leaves.
  std::vector<double> lrad2(nl, 0.0);
  for (int e = 0; e < ne; ++e) {
    const int la = leaf_of[e];
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) d2 += std::pow(mv.col(e + 1, k + 1) - lc[3 * la + k], 2);
    lrad2[la] = std::max(lrad2[la], d2);
  }
  // U_ij(r) of viscosity mu, regularised by e2: ((r^2 + 2 e2) delta_ij + r_i r_j) / (r^2 + e2)^1.5.
  auto stokeslet = [&](const double* p, const double* q, int i, int j, double e2) {
    double r[3], r2 = e2;
    for (int k = 0; k < 3; ++k) {
      r[k] = p[k] - q[k];
      r2 += r[k] * r[k];
    }
    return ((i == j ? r2 + e2 : 0.0) + r[i] * r[j]) / std::pow(r2, 1.5) / (8.0 * M_PI * m.mu);
  };

  // A~ on the fine level.
  const Dense a = testing::dense_matrix(mv, m.mu, s.snaptol, s.near.view());
  Dense at(static_cast<std::size_t>(n) * n, 0.0);
  for (int l = 0; l < ne; ++l) {
    std::vector<double> unit(n, 0.0);
    for (int j = 0; j < 3; ++j) {
      unit.assign(n, 0.0);
      unit[3 * l + j] = 1.0;
      ns.augment(unit.data(), at.data() + static_cast<std::size_t>(3 * l + j) * n);
    }
  }
  for (int l = 0; l < ne; ++l)
    for (int k = 0; k < ne; ++k) {
      const int la = leaf_of[k], lb = leaf_of[l];
      const int I = agg_of_leaf[la], J = agg_of_leaf[lb];
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) {
          double& e = at[(3 * k + i) + static_cast<std::size_t>(3 * l + j) * n];
          if (la == lb) {
            e += a[(3 * k + i) + static_cast<std::size_t>(3 * l + j) * n];
          } else if (velocity(k, i) && velocity(l, j)) {
            e -= area[l] * (is_near(I, J) ? stokeslet(&lc[3 * la], &lc[3 * lb], i, j,
                                                      opt.blob * (lrad2[la] + lrad2[lb]))
                                          : stokeslet(&gc[3 * I], &gc[3 * J], i, j, 0.0));
          }
        }
    }
  // Prolongations and the two coarse levels (identity rows for empty components).
  const int n1 = 3 * nl, n2 = 3 * na;
  Dense p1(static_cast<std::size_t>(n) * n1, 0.0), p2(static_cast<std::size_t>(n1) * n2, 0.0);
  for (int e = 0; e < ne; ++e)
    for (int k = 0; k < 3; ++k)
      if (velocity(e, k)) p1[(3 * e + k) + static_cast<std::size_t>(3 * leaf_of[e] + k) * n] = 1.0;
  for (int la = 0; la < nl; ++la)
    for (int k = 0; k < 3; ++k)
      p2[(3 * la + k) + static_cast<std::size_t>(3 * agg_of_leaf[la] + k) * n1] = 1.0;
  auto galerkin = [](const Dense& p, int rows, int cols, const Dense& mat) {
    Dense out(static_cast<std::size_t>(cols) * cols, 0.0);
    Dense ap(static_cast<std::size_t>(rows) * cols, 0.0);
    for (int c = 0; c < cols; ++c)
      for (int q = 0; q < rows; ++q) {
        const double pv = p[q + static_cast<std::size_t>(c) * rows];
        if (pv == 0.0) continue;
        for (int r = 0; r < rows; ++r)
          ap[r + static_cast<std::size_t>(c) * rows] += mat[r + static_cast<std::size_t>(q) * rows] * pv;
      }
    for (int c = 0; c < cols; ++c)
      for (int r = 0; r < cols; ++r)
        for (int q = 0; q < rows; ++q)
          out[r + static_cast<std::size_t>(c) * cols] +=
              p[q + static_cast<std::size_t>(r) * rows] * ap[q + static_cast<std::size_t>(c) * rows];
    return out;
  };
  Dense a1 = galerkin(p1, n, n1, at);
  Dense a2 = galerkin(p2, n1, n2, a1);
  // The linear space: orthonormal functions (weights: the leaves' velocity counts) whose span
  // holds 1 and leaves out of the coordinates less than linear_keep; P2 from them.
  std::vector<int> fn_first(1, 0);
  for (int q : nfun) fn_first.push_back(fn_first.back() + q);
  const int n2l = fn_first.back();
  Dense p2l(static_cast<std::size_t>(n1) * n2l, 0.0);
  int linear_supports = 0;
  for (int S = 0; S < nsup; ++S)
    for (int k = 0; k < 3; ++k) {
      const int nf = nfun[3 * S + k];
      std::vector<int> ls;
      double w = 0.0, c[3] = {0.0, 0.0, 0.0};
      for (int la = 0; la < nl; ++la)
        if (sup_of_agg[agg_of_leaf[la]] == S) {
          ls.push_back(la);
          w += lcount[3 * la + k];
          for (int q = 0; q < 3; ++q) c[q] += lcount[3 * la + k] * lc[3 * la + q];
        }
      ASSERT_EQ(nf == 0, w == 0.0) << S << " " << k;
      if (nf == 0) continue;
      linear_supports += nf > 1;
      double rho = 0.0;
      for (int la : ls)
        if (lcount[3 * la + k] > 0.0)
          rho = std::max(rho, std::hypot(lc[3 * la] - c[0] / w, lc[3 * la + 1] - c[1] / w, lc[3 * la + 2] - c[2] / w));
      auto phi = [&](int la, int f) { return fun[12 * la + 4 * k + f]; };
      auto dot = [&](auto&& u, auto&& v) {
        double sum = 0.0;
        for (int la : ls) sum += lcount[3 * la + k] * u(la) * v(la);
        return sum / w;
      };
      for (int f = 0; f < nf; ++f)
        for (int g = 0; g < nf; ++g)
          EXPECT_NEAR(dot([&](int la) { return phi(la, f); }, [&](int la) { return phi(la, g); }), f == g ? 1.0 : 0.0, 1e-12);
      for (int q = -1; q < 3; ++q) {
        // What of 1 (q = -1) or of coordinate q, scaled by rho, lies outside the span.
        auto raw = [&](int la) { return q < 0 ? 1.0 : (lc[3 * la + q] - c[q] / w) / rho; };
        std::vector<double> coef(nf);
        for (int f = 0; f < nf; ++f) coef[f] = dot(raw, [&](int la) { return phi(la, f); });
        auto rest = [&](int la) {
          double v = raw(la);
          for (int f = 0; f < nf; ++f) v -= coef[f] * phi(la, f);
          return v;
        };
        EXPECT_LE(std::sqrt(dot(rest, rest)), q < 0 ? 1e-12 : opt.linear_keep + 1e-12) << S << " " << k << " " << q;
      }
      for (int la : ls)
        for (int f = 0; f < nf; ++f) p2l[(3 * la + k) + static_cast<std::size_t>(fn_first[3 * S + k] + f) * n1] = phi(la, f);
    }
  EXPECT_GT(linear_supports, 0);
  const Dense a2l = galerkin(p2l, n1, n2l, a1);
  for (int la = 0; la < nl; ++la)
    for (int k = 0; k < 3; ++k)
      if (lcount[3 * la + k] == 0.0) a1[(3 * la + k) * static_cast<std::size_t>(n1 + 1)] = 1.0;
  for (int I = 0; I < na; ++I)
    for (int k = 0; k < 3; ++k)
      if (gcount[3 * I + k] == 0.0) a2[(3 * I + k) * static_cast<std::size_t>(n2 + 1)] = 1.0;
  Dense d1(static_cast<std::size_t>(n1) * n1, 0.0);
  for (int c = 0; c < n1; ++c)
    for (int r = 0; r < n1; ++r)
      if (agg_of_leaf[r / 3] == agg_of_leaf[c / 3])
        d1[r + static_cast<std::size_t>(c) * n1] = a1[r + static_cast<std::size_t>(c) * n1];

  // The cycle.
  std::vector<double> z1(n, 0.0);
  PRECON(x.data(), z1.data(), ps.data);
  std::vector<double> r = times(at, n, n, z1);
  for (int i = 0; i < n; ++i) r[i] = x[i] - r[i];
  Dense p1t(static_cast<std::size_t>(n1) * n), p2t(static_cast<std::size_t>(n2) * n1);
  for (int c = 0; c < n1; ++c)
    for (int q = 0; q < n; ++q) p1t[c + static_cast<std::size_t>(q) * n1] = p1[q + static_cast<std::size_t>(c) * n];
  for (int c = 0; c < n2; ++c)
    for (int q = 0; q < n1; ++q) p2t[c + static_cast<std::size_t>(q) * n2] = p2[q + static_cast<std::size_t>(c) * n1];
  const std::vector<double> g1 = times(p1t, n1, n, r);
  auto finish = [&](const std::vector<double>& y) {
    const std::vector<double> py = times(p1, n, n1, y);
    std::vector<double> out(n);
    for (int i = 0; i < n; ++i) out[i] = z1[i] + py[i];
    return out;
  };
  // The aggregates alone: y = P2 A2^-1 P2^T g1.
  std::vector<double> y2 = times(p2t, n2, n1, g1);
  dense_solve(a2, n2, y2.data());
  const std::vector<double> plain = finish(times(p2, n1, n2, y2));
  // The linear space: y = P2 A2^-1 P2^T g1 with its P2.
  Dense p2lt(static_cast<std::size_t>(n2l) * n1);
  for (int c = 0; c < n2l; ++c)
    for (int q = 0; q < n1; ++q) p2lt[c + static_cast<std::size_t>(q) * n2l] = p2l[q + static_cast<std::size_t>(c) * n1];
  std::vector<double> y2l = times(p2lt, n2l, n1, g1);
  dense_solve(a2l, n2l, y2l.data());
  const std::vector<double> linear = finish(times(p2l, n1, n2l, y2l));
  // The leaf-level cycle.
  std::vector<double> y = g1;
  dense_solve(d1, n1, y.data());
  std::vector<double> r1 = times(a1, n1, n1, y);
  for (int i = 0; i < n1; ++i) r1[i] = g1[i] - r1[i];
  y2 = times(p2t, n2, n1, r1);
  dense_solve(a2, n2, y2.data());
  const std::vector<double> py2 = times(p2, n1, n2, y2);
  for (int i = 0; i < n1; ++i) y[i] += py2[i];
  r1 = times(a1, n1, n1, y);
  for (int i = 0; i < n1; ++i) r1[i] = g1[i] - r1[i];
  dense_solve(d1, n1, r1.data());
  for (int i = 0; i < n1; ++i) y[i] += r1[i];
  const std::vector<double> cycled = finish(y);
  // The program's A2 is rounded to single precision and factored so
  // (solver/tiled_lu.hpp): its entries move by 2^-24 = 6e-8 relative, and
  // the coarse part of z by that times the condition of A2 (1e3 to 1e4)
  // at most; the twin here is all in double precision.  A wrong sign or
  // factor moves z by more than 1e-2 (the corrections' size, below).
  EXPECT_LT(testing::max_rel_error(z[0][0], plain), 1e-6);
  EXPECT_LT(testing::max_rel_error(z[1][0], cycled), 1e-6);
  EXPECT_LT(testing::max_rel_error(z[2][0], linear), 1e-6);
  EXPECT_GT(testing::max_rel_error(plain, linear), 1e-3);
  // The corrections are not negligible: without them z would be z1.
  EXPECT_GT(testing::max_rel_error(z1, plain), 1e-2);
  EXPECT_GT(testing::max_rel_error(plain, cycled), 1e-3);
}

// With every velocity prescribed the operator is 1/mu times that of mu = 1,
// so the preconditioner's output is mu times: also at mu = 1e-60, where the
// coarse matrix's entries (1e58 and more) would leave single precision's
// range unless it is held times 8 pi mu.  Without the correction z would
// differ from the mu = 1 one by more than 1e-2 (the dense twin above); the
// single-precision factors of the two matrices agree to a few 2^-24.
TEST(TwoLevel, CoarseCorrectionScalesWithTheViscosity) {
  std::vector<double> z[2];
  const double mus[2] = {1.0, 1e-60};
  for (int t = 0; t < 2; ++t) {
    testing::Model m = testing::make_model(icosphere(3, 1.0), mus[t], 5);
    for (std::size_t q = 0; q < 3 * static_cast<std::size_t>(m.mesh.nelem); ++q) m.bc[q] = 0.0;
    testing::FmmSetup s(m, 8, 4);
    testing::PreconStore ps(m, s);
    const MeshView mv = m.view();
    const ClosedBodyNullSpace ns(mv, find_bodies(mv), m.mu);
    CoarseOptions opt;
    opt.aggregate_elements = 40;
    FastPrecon fp(ps.data);
    TwoLevelPrecon tl(ps.data, fp, &ns, opt);
    const std::vector<double> x = testing::uniform_vector(3 * m.mesh.nelem, 17);
    z[t].assign(x.size(), 0.0);
    tl.apply(x.data(), z[t].data());
    ASSERT_TRUE(tl.active()) << m.mu;
    ASSERT_GT(tl.aggregates(), 3);
  }
  for (double& v : z[1]) v /= mus[1];
  EXPECT_LT(testing::max_rel_error(z[1], z[0]), 1e-5);
}

// A model of `mesh` with every component's velocity prescribed as
// (1, 0, 0), mu = 1.
tools::Model translating_model(const std::string& title, const std::string& subtitle,
                               const SurfaceMesh& mesh) {
  tools::Model model;
  model.title = title;
  model.subtitle = subtitle;
  model.mu = 1.0;
  model.mesh = mesh;
  model.bc.assign(6 * static_cast<std::size_t>(model.mesh.nelem), 0.0);
  for (int e = 1; e <= model.mesh.nelem; ++e) {
    for (int k = 1; k <= 3; ++k) model.code(e, k) = 1.0;
    model.value(e, 1) = 1.0;
  }
  return model;
}

// The program on a translating sphere of 5,120 triangles with small leaves (maxl 10, where the
// leaves' blocks alone leave the smooth tractions to GMRES): the coarse correction gives the
// same force, within the solver tolerance, in at most two thirds of the iterations (measured:
// BJ 37, coarse 18), and says so on the console.
TEST(TwoLevel, SameDragInFewerIterations) {
  const tools::Model model = translating_model("translating sphere", "coarse correction", icosphere(4, 1.0));
  tools::Controls c = tools::suggest_controls(model.mesh);
  c.maxl = 10;
  c.maxcel = 4 * model.mesh.nelem;
  c.nexp = 10;
  c.tol = 1e-7;
  c.iprec = 1;
  int iterations[2] = {0, 0};
  double force[2] = {0.0, 0.0};
  for (int coarse = 0; coarse <= 1; ++coarse) {
    testing::ScratchDir dir(coarse ? "coarse-on" : "coarse-off");
    {
      std::ofstream dat(dir / "input.dat"), cnd(dir / "input.cnd");
      tools::write_input_dat(dat, model);
      tools::write_input_cnd(cnd, c);
    }
    const std::string cmd = "cd '" + dir.path().string() + "' && VELMORA_COARSE=" +
                            std::to_string(coarse) + " '" VELMORA_EXE "' > console.txt 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(dir / "console.txt");
    const std::string console = testing::read_file(dir / "console.txt");
    EXPECT_EQ(console.find("Coarse correction:") != std::string::npos, coarse == 1);
    const std::string log = testing::read_file(dir / "output.log");
    const std::size_t at = log.rfind(" info(2) =");
    ASSERT_NE(at, std::string::npos);
    iterations[coarse] = std::stoi(log.substr(at + 10));
    const tools::RunResults res = tools::read_output_dat(dir / "output.dat", model.mesh.nelem);
    ASSERT_TRUE(res.has_force);
    force[coarse] = res.force[0];
  }
  EXPECT_LE(3 * iterations[1], 2 * iterations[0]) << iterations[0] << " " << iterations[1];
  EXPECT_NEAR(force[1], force[0], 1e-5 * std::fabs(force[0]));
}

// Three coarse particles (20-triangle icosahedra) far apart, each alone in a
// leaf of maxl 40: a leaf's block of a whole closed body with prescribed
// velocities holds the body's null vector and is singular unless it gets the
// body's augmentation.  Every path (coarse correction, leaves alone, exact)
// converges and gives the force of a run whose leaves (maxl 6) split the
// bodies, within the solver tolerance and the far-field truncation (nexp 12).
TEST(WholeBodyLeaves, SmallParticlesConvergeOnEveryPath) {
  const tools::Model model =
      translating_model("three small particles", "whole bodies in leaves",
                        spheres(0, {{{0.0, 0.0, 0.0}, 0.1}, {{2.0, 2.0, 2.0}, 0.1}, {{0.0, 2.0, 0.0}, 0.1}}));
  tools::Controls c = tools::suggest_controls(model.mesh);
  c.maxcel = 400;
  c.nexp = 12;
  c.tol = 1e-8;
  c.iprec = 1;
  c.ncycle = 2;
  auto force_of = [&](int maxl, const std::string& env) {
    testing::ScratchDir dir("whole-bodies");
    c.maxl = maxl;
    {
      std::ofstream dat(dir / "input.dat"), cnd(dir / "input.cnd");
      tools::write_input_dat(dat, model);
      tools::write_input_cnd(cnd, c);
    }
    const std::string cmd = "cd '" + dir.path().string() + "' && " + env + " '" VELMORA_EXE
                            "' > console.txt 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << env << testing::read_file(dir / "console.txt");
    const tools::RunResults res = tools::read_output_dat(dir / "output.dat", model.mesh.nelem);
    EXPECT_TRUE(res.has_force);
    return res.force[0];
  };
  const double split = force_of(6, "VELMORA_EXACT=1");
  for (const char* env : {"VELMORA_COARSE=1", "VELMORA_COARSE=0", "VELMORA_EXACT=1"})
    EXPECT_NEAR(force_of(40, env), split, 1e-6 * std::fabs(split)) << env;
}

}  // namespace
}  // namespace velmora
