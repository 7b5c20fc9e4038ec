// The flow at field points: element integrals, the representation against
// exact Stokes flows, and the fast evaluation against the direct sum.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "bem/field_integrals.hpp"
#include "common/constants.hpp"
#include "fmm/field_fmm.hpp"
#include "field_support.hpp"

namespace velmora {
namespace {

using testing::FieldModel;

// Unit vectors spread over the sphere (golden spiral).
std::vector<std::array<double, 3>> directions(int n) {
  std::vector<std::array<double, 3>> d;
  for (int k = 0; k < n; ++k) {
    const double z = 1.0 - (2.0 * k + 1.0) / n, s = std::sqrt(1.0 - z * z);
    const double phi = 2.399963229728653 * k;
    d.push_back({s * std::cos(phi), s * std::sin(phi), z});
  }
  return d;
}

struct Field {
  std::vector<double> vel, pres;
  std::vector<int> inside;
};

Field direct(const MeshView& mv, double mu, const std::vector<double>& u,
             const std::vector<double>& t, const std::vector<double>& xyz) {
  const int n = static_cast<int>(xyz.size() / 3);
  Field f{std::vector<double>(3 * n), std::vector<double>(n), std::vector<int>(n)};
  field_direct(mv, mu, 1e-10, FieldDensities{u.data(), t.data()}, n, xyz.data(), f.vel.data(),
               f.pres.data(), f.inside.data());
  return f;
}

// Over a closed surface, for x outside (inside): sum int T_ij = 0 (delta_ij),
// sum int (r . n) / r^3 = 0 (4 pi), and the double-layer pressure of a
// constant velocity vanishes on both sides; so u = (1,2,3), t = 0 gives
// velocity 0 (-u) and pressure 0, and u = 0, t = n gives pressure 0 (1).
// Checked at points 1e-4 h to 0.3 h from the surface, above element
// interiors, edges and vertices, where the integrals are nearly singular.
TEST(FieldIntegrals, ClosedSurfaceIdentitiesNearTheSurface) {
  const FieldModel fm(icosphere(2, 1.0));
  const MeshView mv = fm.view();
  const int ne = mv.nelem;
  const double h = fm.h();
  std::vector<double> uc(3 * ne), zero(3 * ne, 0.0), tn(3 * ne);
  for (int e = 1; e <= ne; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    for (int k = 0; k < 3; ++k) {
      uc[3 * (e - 1) + k] = k + 1.0;
      tn[3 * (e - 1) + k] = g.normal[k];
    }
  }
  // Feet: an element centroid, an edge midpoint, a vertex; points on the
  // ray from the centre through the foot.
  std::vector<double> xyz;
  std::vector<int> outside;
  const int n1 = mv.node(7, 1), n2 = mv.node(7, 2);
  const double feet[3][3] = {
      {mv.col(7, 1), mv.col(7, 2), mv.col(7, 3)},
      {0.5 * (mv.x(n1, 1) + mv.x(n2, 1)), 0.5 * (mv.x(n1, 2) + mv.x(n2, 2)),
       0.5 * (mv.x(n1, 3) + mv.x(n2, 3))},
      {mv.x(n1, 1), mv.x(n1, 2), mv.x(n1, 3)}};
  for (const auto& f : feet)
    for (double d : {1e-4, 1e-2, 0.3})
      for (int side : {1, -1}) {
        const double r = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
        const double s = 1.0 + side * d * h / r;
        for (int c = 0; c < 3; ++c) xyz.push_back(s * f[c]);
        outside.push_back(side > 0);
      }
  // Element by element, with the sums of magnitudes as the scale of the
  // errors: rounding for the closed forms, and for the pressure the 16-point
  // rule on pieces 4 radii away, about (1/4)^9 = 4e-6 of each piece.
  FieldScratch s;
  for (std::size_t k = 0; k < outside.size(); ++k) {
    SCOPED_TRACE(k);
    const double* x = &xyz[3 * k];
    double v[3] = {0, 0, 0}, w = 0, p = 0, q = 0, ps = 0, qs = 0;
    for (int e = 1; e <= ne; ++e) {
      element_velocity_add(mv, 1.0, 1e-10, e, &uc[3 * (e - 1)], &zero[3 * (e - 1)], 1, x, x + 1,
                           x + 2, s, v, &w);
      const double pe = element_pressure(mv, 1.0, e, &uc[3 * (e - 1)], &zero[3 * (e - 1)], x);
      const double qe = element_pressure(mv, 1.0, e, &zero[3 * (e - 1)], &tn[3 * (e - 1)], x);
      p += pe;
      q += qe;
      ps += std::fabs(pe);
      qs += std::fabs(qe);
    }
    const double in = outside[k] ? 0.0 : 1.0;
    EXPECT_NEAR(w, in, 1e-9);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(v[i], -(i + 1.0) * in, 1e-9);
    EXPECT_NEAR(p, 0.0, 1e-5 * ps);
    EXPECT_NEAR(q, in, 1e-5 * qs);
  }
  // The direct sum flags the points inside.
  const Field a = direct(mv, 1.0, uc, zero, xyz);
  for (std::size_t k = 0; k < outside.size(); ++k) EXPECT_EQ(a.inside[k], outside[k] ? 0 : 1);
}

// The adaptive pressure integral of one element against the 16-point rule
// on a uniform split into 4^8 pieces, at points 0.02 h above the interior,
// an edge and a vertex and beside an edge in the plane.
TEST(FieldIntegrals, PressureMatchesUniformlyRefinedQuadrature) {
  SurfaceMesh m;
  m.nnode = 3;
  m.nelem = 1;
  m.xnode = {0.0, 1.0, 0.2, 0.0, 0.1, 0.9, 0.0, 0.0, 0.05};  // column-major
  m.ielem = {1, 2, 3};
  const FieldModel fm(m);
  const MeshView mv = fm.view();
  const double u[3] = {0.3, -0.7, 0.5}, t[3] = {1.1, 0.4, -0.6}, mu = 1.7;
  const ElementGeometry g = element_geometry(mv, 1);
  auto fine = [&](const double x[3]) {
    // 4^8 pieces: 256 steps along each edge, 16-point rule on each.
    const int N = 256;
    double P[3][3];
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c) P[v][c] = mv.x(v + 1, c + 1);
    SurfaceMesh piece;
    piece.nnode = 3;
    piece.nelem = 1;
    piece.ielem = {1, 2, 3};
    double sum = 0.0;
    auto add = [&](const double a[3], const double b[3], const double c[3]) {
      piece.xnode = {a[0], b[0], c[0], a[1], b[1], c[1], a[2], b[2], c[2]};
      const FieldModel pm(piece);
      // The piece lies farther than 4 radii from x: one rule application.
      sum += element_pressure(pm.view(), mu, 1, u, t, x);
    };
    auto at = [&](double i, double j, double out[3]) {
      for (int c = 0; c < 3; ++c)
        out[c] = P[0][c] + (i / N) * (P[1][c] - P[0][c]) + (j / N) * (P[2][c] - P[0][c]);
    };
    for (int i = 0; i < N; ++i)
      for (int j = 0; i + j < N; ++j) {
        double a[3], b[3], c[3];
        at(i, j, a);
        at(i + 1, j, b);
        at(i, j + 1, c);
        add(a, b, c);
        if (i + j + 1 < N) {
          double d[3];
          at(i + 1, j + 1, d);
          add(b, d, c);
        }
      }
    return sum;
  };
  const double h = 1.0, d = 0.02 * h;
  std::vector<std::array<double, 3>> pts;
  const double cen[3] = {mv.col(1, 1), mv.col(1, 2), mv.col(1, 3)};
  const double mid[3] = {0.5 * (mv.x(1, 1) + mv.x(2, 1)), 0.5 * (mv.x(1, 2) + mv.x(2, 2)),
                         0.5 * (mv.x(1, 3) + mv.x(2, 3))};
  const double vtx[3] = {mv.x(3, 1), mv.x(3, 2), mv.x(3, 3)};
  for (const double* f : {cen, mid, vtx})
    pts.push_back({f[0] - d * g.normal[0], f[1] - d * g.normal[1], f[2] - d * g.normal[2]});
  pts.push_back({mid[0], mid[1] - 0.05, mid[2]});  // beside edge 1-2, nearly in the plane
  for (const auto& x : pts) {
    const double ref = fine(x.data());
    const double got = element_pressure(mv, mu, 1, u, t, x.data());
    EXPECT_NEAR(got, ref, 2e-6 * std::fabs(ref) + 1e-9) << x[0] << ' ' << x[1] << ' ' << x[2];
  }
}

// Maximum velocity and pressure errors against an exact sphere flow at the
// radii given, over 24 directions.
struct SphereErrors {
  std::vector<double> du, dp;
};
template <class Exact>
SphereErrors sphere_errors(int refine, const std::vector<double>& radii, Exact exact,
                           bool rotate) {
  const FieldModel fm(icosphere(refine, 1.0));
  const MeshView mv = fm.view();
  const int ne = mv.nelem;
  const double mu = 1.3, U[3] = {0.6, -0.3, 0.8}, W[3] = {0.2, 0.5, -0.4};
  std::vector<double> u(3 * ne), t(3 * ne);
  for (int e = 1; e <= ne; ++e) {
    const double y[3] = {mv.col(e, 1), mv.col(e, 2), mv.col(e, 3)};
    const double wy[3] = {W[1] * y[2] - W[2] * y[1], W[2] * y[0] - W[0] * y[2],
                          W[0] * y[1] - W[1] * y[0]};
    for (int k = 0; k < 3; ++k) {
      u[3 * (e - 1) + k] = rotate ? wy[k] : U[k];
      t[3 * (e - 1) + k] = rotate ? 3.0 * mu * wy[k] : 1.5 * mu * U[k];
    }
  }
  std::vector<double> xyz;
  const auto dirs = directions(24);
  for (double r : radii)
    for (const auto& d : dirs)
      for (int c = 0; c < 3; ++c) xyz.push_back(r * d[c]);
  const Field f = direct(mv, mu, u, t, xyz);
  SphereErrors s{std::vector<double>(radii.size()), std::vector<double>(radii.size())};
  for (std::size_t k = 0; k < xyz.size() / 3; ++k) {
    double ue[3], pe = 0;
    exact(mu, U, W, &xyz[3 * k], ue, pe);
    const std::size_t ir = k / dirs.size();
    EXPECT_EQ(f.inside[k], 0);
    for (int i = 0; i < 3; ++i) s.du[ir] = std::max(s.du[ir], std::fabs(f.vel[3 * k + i] - ue[i]));
    s.dp[ir] = std::max(s.dp[ir], std::fabs(f.pres[k] - pe));
  }
  return s;
}

// Translating sphere with its exact surface velocity and traction: velocity
// and pressure converge as h^2 (the error falls by about 4 from 320 to 1,280
// elements; at least 3 is asked).
TEST(FieldRepresentation, TranslatingSphereConvergesAsHSquared) {
  const std::vector<double> radii = {1.2, 2.0, 5.0};
  auto exact = [](double mu, const double* U, const double*, const double* x, double* u,
                  double& p) { testing::translating_sphere(1.0, mu, U, x, u, p); };
  const SphereErrors c = sphere_errors(2, radii, exact, false);
  const SphereErrors f = sphere_errors(3, radii, exact, false);
  for (std::size_t i = 0; i < radii.size(); ++i) {
    SCOPED_TRACE(radii[i]);
    EXPECT_GT(c.du[i] / f.du[i], 3.0) << c.du[i] << ' ' << f.du[i];
    EXPECT_GT(c.dp[i] / f.dp[i], 3.0) << c.dp[i] << ' ' << f.dp[i];
    EXPECT_LT(f.du[i], 0.01);
    EXPECT_LT(f.dp[i], 0.01);
  }
}

// Rotating sphere: u = Omega x x a^3 / r^3 and p = 0, converging as h^2.
TEST(FieldRepresentation, RotatingSphereConvergesAsHSquared) {
  const std::vector<double> radii = {1.2, 2.0, 5.0};
  auto exact = [](double, const double*, const double* W, const double* x, double* u,
                  double& p) {
    testing::rotating_sphere(1.0, W, x, u);
    p = 0.0;
  };
  const SphereErrors c = sphere_errors(2, radii, exact, true);
  const SphereErrors f = sphere_errors(3, radii, exact, true);
  for (std::size_t i = 0; i < radii.size(); ++i) {
    SCOPED_TRACE(radii[i]);
    EXPECT_GT(c.du[i] / f.du[i], 3.0) << c.du[i] << ' ' << f.du[i];
    EXPECT_LT(f.du[i], 0.01);
    EXPECT_LT(f.dp[i], 0.01);
  }
}

// Two spheres with random densities: the fast evaluation (4 points per
// target leaf: deep target trees) against the direct sum at random points,
// near the surfaces, inside, outside the solver's root cube and far away.
// The error is that of the expansions: it falls with the order (measured,
// of the largest velocity: 3.7e-4 at order 8, 8.5e-6 at order 16, 2.4e-7 at
// order 30, where the 7-point rule of the moments sets the floor; the
// elements span 0.4 of a leaf cell of the solver's tree, so the clusters
// reach past their cells); the same bits on 1 and 2 threads.
TEST(FieldFast, MatchesDirectSumAtRandomPoints) {
  SurfaceMesh m = icosphere(2, 1.0);
  const double c2[3] = {3.0, 0.0, 0.0};
  append_mesh(m, icosphere(2, 1.0, c2));
  const FieldModel fm(m);
  const MeshView mv = fm.view();
  const int ne = mv.nelem;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  std::vector<double> u(3 * ne), t(3 * ne);
  for (double& v : u) v = uni(rng);
  for (double& v : t) v = uni(rng);
  std::vector<double> xyz;
  for (int k = 0; k < 150; ++k) {
    xyz.push_back(1.5 + 3.5 * uni(rng));
    xyz.push_back(2.0 * uni(rng));
    xyz.push_back(2.0 * uni(rng));
  }
  for (const auto& d : directions(40)) {  // 1.02 a from either sphere
    for (int c = 0; c < 3; ++c) xyz.push_back(1.02 * d[c] + (d[0] > 0 ? c2[c] : 0.0));
  }
  for (int c = 0; c < 3; ++c) xyz.push_back(20.0 * (c + 1));  // far away
  const int n = static_cast<int>(xyz.size() / 3);
  const Field ref = direct(mv, 1.0, u, t, xyz);
  FieldParams par;
  par.mu = 1.0;
  par.snaptol = 1e-10;
  par.p = 16;
  par.maxl = 40;
  par.maxp = 4;
  auto fast = [&](int threads) {
    Field f{std::vector<double>(3 * n), std::vector<double>(n), std::vector<int>(n)};
    const int before = omp_get_max_threads();
    omp_set_num_threads(threads);
    field_fast(mv, par, FieldDensities{u.data(), t.data()}, n, xyz.data(), f.vel.data(),
               f.pres.data(), f.inside.data());
    omp_set_num_threads(before);
    return f;
  };
  const Field f1 = fast(1), f2 = fast(2);
  par.p = 8;
  const Field f8 = fast(2);
  double vmax = 0, pmax = 0;
  for (int k = 0; k < n; ++k) {
    for (int i = 0; i < 3; ++i) vmax = std::max(vmax, std::fabs(ref.vel[3 * k + i]));
    pmax = std::max(pmax, std::fabs(ref.pres[k]));
  }
  int inside = 0;
  double e8 = 0, e16 = 0;
  for (int k = 0; k < n; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(f1.inside[k], ref.inside[k]);
    ASSERT_EQ(f8.inside[k], ref.inside[k]);
    inside += ref.inside[k];
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(f1.vel[3 * k + i], ref.vel[3 * k + i], 2e-5 * vmax);
      e8 = std::max(e8, std::fabs(f8.vel[3 * k + i] - ref.vel[3 * k + i]));
      e16 = std::max(e16, std::fabs(f1.vel[3 * k + i] - ref.vel[3 * k + i]));
    }
    EXPECT_NEAR(f1.pres[k], ref.pres[k], 5e-6 * pmax);
    EXPECT_NEAR(f8.pres[k], ref.pres[k], 1e-3 * pmax);
  }
  EXPECT_LT(e8, 1e-3 * vmax);
  EXPECT_LT(e16, e8 / 20);
  EXPECT_GT(inside, 5);
  EXPECT_LT(inside, n - 50);
  EXPECT_EQ(f1.vel, f2.vel);
  EXPECT_EQ(f1.pres, f2.pres);

  // The solver's trade, translations over longer offsets at lower orders
  // (fmm/m2l_order.hpp): each keeps its truncation a tenth of the shortest
  // offsets', so the errors stay within 1.2 times the full order's (the
  // product's condition), at orders 8 and 16; the same bits on 1 and 2
  // threads, and not the full order's bits (the trade is taken).
  auto errors = [&](const Field& f) {
    std::pair<double, double> e{0.0, 0.0};
    for (int k = 0; k < n; ++k) {
      for (int i = 0; i < 3; ++i) e.first = std::max(e.first, std::fabs(f.vel[3 * k + i] - ref.vel[3 * k + i]));
      e.second = std::max(e.second, std::fabs(f.pres[k] - ref.pres[k]));
    }
    return e;
  };
  for (const int p : {8, 16}) {
    SCOPED_TRACE(p);
    par.p = p;
    par.m2l_order_by_distance = false;
    const Field full = fast(2);
    par.m2l_order_by_distance = true;
    const Field traded = fast(2), traded1 = fast(1);
    par.m2l_order_by_distance = false;
    const auto ef = errors(full), et = errors(traded);
    EXPECT_LE(et.first, 1.2 * ef.first);
    EXPECT_LE(et.second, 1.2 * ef.second);
    EXPECT_NE(traded.vel, full.vel);
    EXPECT_EQ(traded.vel, traded1.vel);
    EXPECT_EQ(traded.pres, traded1.pres);
    for (int k = 0; k < n; ++k) ASSERT_EQ(traded.inside[k], ref.inside[k]) << k;
  }
}

}  // namespace
}  // namespace velmora
