// Exact integrals of the Stokes kernels over a flat triangle (TRIINT),
// checked against quadrature that knows nothing of the closed form.
#include "bem/triint.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bem/shapes.hpp"
#include "bem/triint_math.hpp"

namespace velmora {
namespace {

using V3 = std::array<double, 3>;
// The fifteen integrals in TRIINT's order: U11 U12 U13 U22 U23 U33, then T11..T33 by rows.
using Coefs = std::array<double, 15>;

constexpr double kPiRef = 3.14159265358979323846;

V3 operator+(V3 a, V3 b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
V3 operator-(V3 a, V3 b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
V3 operator*(double s, V3 a) {
  return {s * a[0], s * a[1], s * a[2]};
}
double dotp(V3 a, V3 b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
V3 cross(V3 a, V3 b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double norm(V3 a) {
  return std::sqrt(dotp(a, a));
}

// ---------------------------------------------------------------------------
// Reference integrator.

// Gauss-Legendre nodes and weights on [0, 1] by Newton's method on P_n.
struct GaussLegendre {
  std::vector<double> x, w;
  explicit GaussLegendre(int n) : x(n), w(n) {
    for (int i = 0; i < n; ++i) {
      double z = std::cos(kPiRef * (i + 0.75) / (n + 0.5)), dp = 0.0;
      for (int it = 0; it < 100; ++it) {
        double p0 = 1.0, p1 = z;
        for (int k = 2; k <= n; ++k) {
          const double p2 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p0) / k;
          p0 = p1;
          p1 = p2;
        }
        dp = n * (z * p1 - p0) / (z * z - 1.0);
        const double dz = p1 / dp;
        z -= dz;
        if (std::fabs(dz) < 1e-16) break;
      }
      x[i] = 0.5 * (1.0 - z);
      w[i] = 1.0 / ((1.0 - z * z) * dp * dp);
    }
  }
};

// The two kernels at r = x - y, accumulated with weight wt.
void add_kernels(V3 r, V3 n, double mu, double wt, Coefs& acc) {
  const double rr = norm(r), rn = dotp(r, n);
  const double fu = wt / (8.0 * kPiRef * mu);
  const double r2 = rr * rr;
  const double ft = wt * 3.0 / (4.0 * kPiRef) * rn / (r2 * r2 * rr);
  const int pu[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
  for (int c = 0; c < 6; ++c) {
    const int i = pu[c][0], j = pu[c][1];
    acc[c] += fu * ((i == j ? 1.0 / rr : 0.0) + r[i] * r[j] / (rr * rr * rr));
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) acc[6 + 3 * i + j] += ft * r[i] * r[j];
}

// Conical product Gauss rule over the triangle (p0, p1, p2): y = p0 + u (p1 - p0 + v (p2 - p1)),
// dA = 2 area u du dv; exact for polynomials of degree 2 n - 2.
Coefs tri_rule(const GaussLegendre& g, V3 p0, V3 p1, V3 p2, V3 x, V3 n, double mu) {
  Coefs acc{};
  const double area2 = norm(cross(p1 - p0, p2 - p0));
  for (size_t a = 0; a < g.x.size(); ++a)
    for (size_t b = 0; b < g.x.size(); ++b) {
      const double u = g.x[a], v = g.x[b];
      const V3 y = p0 + u * ((p1 - p0) + v * (p2 - p1));
      add_kernels(x - y, n, mu, area2 * u * g.w[a] * g.w[b], acc);
    }
  return acc;
}

// Adaptive subdivision into four midpoint triangles until the children's sum agrees with the
// parent's rule to `tol` in every component.
Coefs adaptive(const GaussLegendre& g, V3 p0, V3 p1, V3 p2, V3 x, V3 n, double mu,
               const Coefs& parent, const Coefs& tol, int depth) {
  const V3 m01 = 0.5 * (p0 + p1), m12 = 0.5 * (p1 + p2), m20 = 0.5 * (p2 + p0);
  const V3 sub[4][3] = {{p0, m01, m20}, {m01, p1, m12}, {m20, m12, p2}, {m12, m20, m01}};
  Coefs part[4], sum{};
  for (int s = 0; s < 4; ++s) {
    part[s] = tri_rule(g, sub[s][0], sub[s][1], sub[s][2], x, n, mu);
    for (int c = 0; c < 15; ++c) sum[c] += part[s][c];
  }
  bool done = depth >= 14;
  if (!done) {
    done = true;
    for (int c = 0; c < 15; ++c) done = done && std::fabs(sum[c] - parent[c]) <= tol[c];
  }
  if (done) return sum;
  Coefs quarter_tol;
  for (int c = 0; c < 15; ++c) quarter_tol[c] = tol[c] / 4.0;
  Coefs acc{};
  for (int s = 0; s < 4; ++s) {
    const Coefs r =
        adaptive(g, sub[s][0], sub[s][1], sub[s][2], x, n, mu, part[s], quarter_tol, depth + 1);
    for (int c = 0; c < 15; ++c) acc[c] += r[c];
  }
  return acc;
}

// Reference integrals over the triangle for a target off it, to about 1e-11 of the largest
// Stokeslet and traction-kernel entries.
Coefs reference(V3 p0, V3 p1, V3 p2, V3 x, double mu) {
  static const GaussLegendre g(12);
  const V3 k = cross(p1 - p0, p2 - p0);
  const V3 n = (1.0 / norm(k)) * k;
  // A first estimate fixes the scale of each kernel family for the tolerance.
  static const GaussLegendre g_coarse(24);
  Coefs est{};
  {
    const V3 m01 = 0.5 * (p0 + p1), m12 = 0.5 * (p1 + p2), m20 = 0.5 * (p2 + p0);
    const V3 sub[4][3] = {{p0, m01, m20}, {m01, p1, m12}, {m20, m12, p2}, {m12, m20, m01}};
    for (auto& s : sub) {
      const Coefs r = tri_rule(g_coarse, s[0], s[1], s[2], x, n, mu);
      for (int c = 0; c < 15; ++c) est[c] += r[c];
    }
  }
  double su = 0.0, st = 0.0;
  for (int c = 0; c < 6; ++c) su = std::max(su, std::fabs(est[c]));
  for (int c = 6; c < 15; ++c) st = std::max(st, std::fabs(est[c]));
  // The traction kernel vanishes in the source plane; give it the Stokeslet's scale in units
  // where the element size is 1 then.
  st = std::max(st, 1e-3);
  Coefs tol;
  for (int c = 0; c < 15; ++c) tol[c] = 1e-12 * (c < 6 ? su : st);
  return adaptive(g, p0, p1, p2, x, n, mu, tri_rule(g, p0, p1, p2, x, n, mu), tol, 0);
}

// Stokeslet integral over the triangle for its own centroid, in polar coordinates about the
// centroid: U rho is bounded (it depends on the direction only), so a Gauss rule in the angle
// and in rho over each of the three sub-triangles (c, p, q) converges fast.
std::array<double, 6> polar_self_stokeslet(V3 p0, V3 p1, V3 p2, double mu) {
  const GaussLegendre ga(48), gr(6);
  const V3 c = (1.0 / 3.0) * (p0 + p1 + p2);
  const V3 k = cross(p1 - p0, p2 - p0);
  const V3 n = (1.0 / norm(k)) * k;
  const V3 e1 = (1.0 / norm(p0 - c)) * (p0 - c);
  const V3 e2 = cross(n, e1);
  std::array<double, 6> acc{};
  const V3 pts[3] = {p0, p1, p2};
  for (int s = 0; s < 3; ++s) {
    const V3 p = pts[s], q = pts[(s + 1) % 3];
    const double th0 = std::atan2(dotp(p - c, e2), dotp(p - c, e1));
    double th1 = std::atan2(dotp(q - c, e2), dotp(q - c, e1));
    while (th1 < th0) th1 += 2.0 * kPiRef;
    // Unit in-plane normal of the side pq and its distance from c.
    const V3 pq = q - p;
    V3 nu = cross(pq, n);
    nu = (1.0 / norm(nu)) * nu;
    const double dist = dotp(p - c, nu);
    // Split the angle in four pieces for good measure.
    const int pieces = 4;
    for (int piece = 0; piece < pieces; ++piece) {
      const double a0 = th0 + (th1 - th0) * piece / pieces;
      const double a1 = th0 + (th1 - th0) * (piece + 1) / pieces;
      for (size_t ia = 0; ia < ga.x.size(); ++ia) {
        const double th = a0 + (a1 - a0) * ga.x[ia];
        const V3 dir = std::cos(th) * e1 + std::sin(th) * e2;
        const double rmax = dist / dotp(dir, nu);
        for (size_t ir = 0; ir < gr.x.size(); ++ir) {
          const double rho = rmax * gr.x[ir];
          const V3 r = (-rho) * dir;  // target minus source point
          Coefs one{};
          add_kernels(r, n, mu, 1.0, one);
          const double wt = (a1 - a0) * ga.w[ia] * rmax * gr.w[ir] * rho;
          for (int cc = 0; cc < 6; ++cc) acc[cc] += wt * one[cc];
        }
      }
    }
  }
  return acc;
}

// ---------------------------------------------------------------------------
// A source element (element 1) and any number of targets, each target the collocation point of
// an element of its own.

struct Fixture {
  std::vector<double> xnode;
  std::vector<int> ielem;
  std::vector<double> xcol;
  int nelem = 0;
  V3 p[3];

  Fixture(V3 p0, V3 p1, V3 p2, const std::vector<V3>& targets) {
    p[0] = p0;
    p[1] = p1;
    p[2] = p2;
    nelem = 1 + static_cast<int>(targets.size());
    xnode.resize(9);
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c) xnode[v + 3 * c] = p[v][c];
    ielem.resize(3 * nelem);
    for (int e = 0; e < nelem; ++e)
      for (int v = 0; v < 3; ++v) ielem[e + v * nelem] = v + 1;
    xcol.resize(3 * nelem);
    for (int c = 0; c < 3; ++c) xcol[0 + c * nelem] = (p0[c] + p1[c] + p2[c]) / 3.0;
    for (int e = 1; e < nelem; ++e)
      for (int c = 0; c < 3; ++c) xcol[e + c * nelem] = targets[e - 1][c];
  }
  MeshView mesh() const { return {nelem, 3, ielem.data(), xnode.data(), xcol.data(), nullptr}; }
};

// Storage for TRIINT's outputs and working state with `cap` entries each.
struct Outputs {
  std::vector<double> reals;
  std::vector<int> ints;
  NearCoef coef;
  TriintWork work;
  int cap;
  explicit Outputs(int cap_, double fill = 0.0)
      : reals(kTriintReals * cap_, fill), ints(kTriintInts * cap_), cap(cap_) {
    carve_triint_arrays(reals.data(), ints.data(), cap, coef, work);
  }
  Coefs at(int k) const {
    Coefs c;
    for (int i = 0; i < 6; ++i) c[i] = coef.u[i][k];
    for (int i = 0; i < 9; ++i) c[6 + i] = coef.t[i][k];
    return c;
  }
};

// Runs TRIINT from element 1 on the given target elements.
std::vector<Coefs> run(const Fixture& fx, const std::vector<int>& elems, double mu = 1.0,
                       double snaptol = 1e-6, TriintMath path = TriintMath::Vector,
                       Outputs* keep = nullptr) {
  std::vector<int> ltarg{static_cast<int>(elems.size())};
  ltarg.insert(ltarg.end(), elems.begin(), elems.end());
  Outputs local(std::max<int>(1, elems.size()));
  Outputs& out = keep ? *keep : local;
  double normal[3];
  triint_with(path, fx.mesh(), mu, snaptol, ltarg.data(), out.coef, out.work, normal, 1);
  std::vector<Coefs> res;
  for (size_t k = 0; k < elems.size(); ++k) res.push_back(out.at(static_cast<int>(k)));
  return res;
}

std::vector<int> targets_2_to(int nelem) {
  std::vector<int> e;
  for (int i = 2; i <= nelem; ++i) e.push_back(i);
  return e;
}

// Largest Stokeslet and traction-kernel entries.
double scale_u(const Coefs& c) {
  double s = 0.0;
  for (int i = 0; i < 6; ++i) s = std::max(s, std::fabs(c[i]));
  return s;
}
double scale_t(const Coefs& c) {
  double s = 0.0;
  for (int i = 6; i < 15; ++i) s = std::max(s, std::fabs(c[i]));
  return s;
}

// Every entry agrees to `rel` of its family's largest entry (traction entries at least to
// rel * tfloor, for targets where the traction kernel vanishes).
void expect_close(const Coefs& got, const Coefs& want, double rel, double tfloor,
                  const char* what) {
  const double su = scale_u(want), st = std::max(scale_t(want), tfloor);
  for (int c = 0; c < 15; ++c)
    EXPECT_NEAR(got[c], want[c], rel * (c < 6 ? su : st)) << what << ", entry " << c;
}

// A generic triangle: no edge along an axis, normal in a general direction.
const V3 kP0{0.1, -0.2, 0.3}, kP1{1.3, 0.1, 0.5}, kP2{0.4, 0.9, 1.1};

V3 unit_normal(V3 p0, V3 p1, V3 p2) {
  const V3 k = cross(p1 - p0, p2 - p0);
  return (1.0 / norm(k)) * k;
}

// ---------------------------------------------------------------------------

// All fifteen integrals against adaptive quadrature for targets far, near, above the interior,
// every edge and vertex, in the plane outside, and below the element.
TEST(Triint, MatchesAdaptiveQuadrature) {
  const V3 c = (1.0 / 3.0) * (kP0 + kP1 + kP2);
  const V3 n = unit_normal(kP0, kP1, kP2);
  const double size = norm(kP1 - kP0);
  const double a = 0.1 * size;
  const V3 in_plane = cross(n, kP1 - kP0);
  std::vector<V3> tg = {
      c + (10.0 * size) * V3{0.3, -0.5, 0.81},  // far away
      c + (2.0 * size) * V3{-0.6, 0.2, 0.4},    // a couple of sizes away
      c + a * n,                                // above the interior
      c - a * n,                                // below it
      kP0 + a * n,                              // above each vertex (snapped)
      kP1 + a * n,
      kP2 - a * n,
      0.5 * (kP0 + kP1) + a * n,  // above each edge
      0.5 * (kP1 + kP2) - a * n,
      0.5 * (kP2 + kP0) + a * n,
      kP0 + 0.5 * (kP0 - kP1) + a * n,            // above an edge line beyond the segment
      c - (0.8 / norm(in_plane)) * in_plane,      // in the plane, outside the element
      kP2 + 0.3 * (kP2 - c),                      // in the plane, beyond a vertex
      c + 0.3 * (kP1 - kP0) + (0.02 * size) * n,  // close above, near an edge
  };
  Fixture fx(kP0, kP1, kP2, tg);
  const auto got = run(fx, targets_2_to(fx.nelem), 0.7, 1e-6 * size);
  for (size_t k = 0; k < tg.size(); ++k) {
    const Coefs ref = reference(kP0, kP1, kP2, tg[k], 0.7);
    expect_close(got[k], ref, 1e-9, 1e-3, ("target " + std::to_string(k)).c_str());
  }
}

// Self target: the traction integral is half the identity and the Stokeslet integral matches
// a polar rule about the centroid.
TEST(Triint, SelfTarget) {
  for (const double mu : {1.0, 0.3}) {
    Fixture fx(kP0, kP1, kP2, {});
    const Coefs got = run(fx, {1}, mu)[0];
    const auto ref = polar_self_stokeslet(kP0, kP1, kP2, mu);
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(got[c], ref[c], 1e-12 * std::fabs(ref[0])) << c;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(got[6 + 3 * i + j], i == j ? 0.5 : 0.0, 1e-14) << i << j;
  }
  // A strongly obtuse, elongated element as well.
  const V3 q0{0, 0, 0}, q1{3.0, 0.2, 0.1}, q2{1.9, 0.4, -0.05};
  Fixture fx(q0, q1, q2, {});
  const Coefs got = run(fx, {1})[0];
  const auto ref = polar_self_stokeslet(q0, q1, q2, 1.0);
  for (int c = 0; c < 6; ++c) EXPECT_NEAR(got[c], ref[c], 1e-11 * std::fabs(ref[0])) << c;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(got[6 + 3 * i + j], i == j ? 0.5 : 0.0, 1e-13);
}

// Special branches of the edge angle meet the general formula: targets exactly above a vertex,
// exactly above an edge and exactly on an edge line beyond the segment agree with neighbours
// moved off by delta, to O(delta / height).
TEST(Triint, ContinuousAcrossSpecialBranches) {
  // Edge 1 along the x axis so that d = 0 holds exactly above it.
  const V3 p0{0, 0, 0}, p1{1, 0, 0}, p2{0.3, 0.8, 0};
  const double h = 0.05, delta = 1e-9, snaptol = 1e-12;
  std::vector<V3> base = {
      {0, 0, h},      {1, 0, h},     {0.3, 0.8, -h},  // above and below the vertices
      {0.4, 0, h},    {0.4, 0, -h},                   // above and below edge 1
      {1.6, 0, h},    {-0.5, 0, -h},                  // on edge 1's line beyond its ends
      {0.65, 0.4, h},                                 // above edge 2 (d up to rounding)
  };
  const V3 dirs[4] = {{1, 0, 0}, {0, 1, 0}, {-0.6, 0.8, 0}, {0.6, -0.8, 0}};
  std::vector<V3> tg;
  for (const V3& b : base) {
    tg.push_back(b);
    for (const V3& d : dirs) tg.push_back(b + delta * d);
  }
  Fixture fx(p0, p1, p2, tg);
  Outputs out(static_cast<int>(tg.size()));
  const auto got = run(fx, targets_2_to(fx.nelem), 1.0, snaptol, TriintMath::Vector, &out);
  // The base targets above vertices are snapped, their neighbours are not.
  EXPECT_EQ(out.work.flag[0], 13);
  EXPECT_EQ(out.work.flag[5], 23);
  EXPECT_EQ(out.work.flag[10], 33);
  EXPECT_LT(out.work.flag[1], 10);
  const double rel = 10.0 * delta / h;
  for (size_t b = 0; b < base.size(); ++b)
    for (int i = 1; i <= 4; ++i)
      expect_close(got[5 * b + i], got[5 * b], rel, 1.0,
                   ("base " + std::to_string(b) + " dir " + std::to_string(i)).c_str());
}

// Just inside and just outside snaptol of a vertex the results differ by O(snaptol / height).
TEST(Triint, SnapToleranceBoundary) {
  const double snaptol = 1e-7, h = 0.05;
  const V3 n = unit_normal(kP0, kP1, kP2);
  const V3 u = (1.0 / norm(kP2 - kP1)) * (kP2 - kP1);  // an in-plane direction
  std::vector<V3> tg = {kP1 + h * n + (0.999 * snaptol) * u, kP1 + h * n + (1.001 * snaptol) * u,
                        kP1 + h * n};
  Fixture fx(kP0, kP1, kP2, tg);
  Outputs out(3);
  const auto got = run(fx, targets_2_to(fx.nelem), 1.0, snaptol, TriintMath::Vector, &out);
  EXPECT_EQ(out.work.flag[0] / 10, 2);
  EXPECT_EQ(out.work.flag[1] / 10, 0);
  expect_close(got[0], got[1], 100.0 * snaptol / h, 1.0, "across snaptol");
  expect_close(got[0], got[2], 100.0 * snaptol / h, 1.0, "snapped vs exact");
  const Coefs ref = reference(kP0, kP1, kP2, tg[1], 1.0);
  expect_close(got[1], ref, 1e-9, 1.0, "unsnapped neighbour vs quadrature");
}

// Crossing the interior changes the traction integral by the identity and leaves the Stokeslet
// integral continuous; the side n points to is continuous with the self value.
TEST(Triint, JumpThroughTheElement) {
  const V3 c = (1.0 / 3.0) * (kP0 + kP1 + kP2);
  const V3 n = unit_normal(kP0, kP1, kP2);
  const V3 x0 = c + 0.2 * (kP1 - c);  // an interior point other than the centroid
  const double eps = 1e-9;
  Fixture fx(kP0, kP1, kP2, {x0 + eps * n, x0 - eps * n, c + eps * n});
  const auto got = run(fx, {2, 3, 4, 1});
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int e = 6 + 3 * i + j;
      EXPECT_NEAR(got[0][e] - got[1][e], i == j ? 1.0 : 0.0, 100.0 * eps) << i << j;
      EXPECT_NEAR(got[0][e], i == j ? 0.5 : 0.0, 100.0 * eps) << i << j;
      EXPECT_NEAR(got[2][e], got[3][e], 100.0 * eps) << i << j;
    }
  for (int e = 0; e < 6; ++e) {
    EXPECT_NEAR(got[0][e], got[1][e], 100.0 * eps * std::fabs(got[0][0])) << e;
    EXPECT_NEAR(got[2][e], got[3][e], 100.0 * eps * std::fabs(got[0][0])) << e;
  }
}

// Far away the integrals tend to area times the kernels at the centroid; the relative error of
// that one-point rule is second order in size / distance (the first moment about the centroid
// vanishes).
TEST(Triint, FarFieldTendsToCentroidRule) {
  const V3 c = (1.0 / 3.0) * (kP0 + kP1 + kP2);
  const V3 k = cross(kP1 - kP0, kP2 - kP0);
  const V3 n = (1.0 / norm(k)) * k;
  const double area = 0.5 * norm(k);
  const double rad = std::max({norm(kP0 - c), norm(kP1 - c), norm(kP2 - c)});
  const V3 dir = (1.0 / norm(V3{0.3, -0.5, 0.81})) * V3{0.3, -0.5, 0.81};
  std::vector<V3> tg;
  const double dists[] = {10.0, 100.0, 1000.0};
  for (const double dist : dists) tg.push_back(c + (dist * rad) * dir);
  Fixture fx(kP0, kP1, kP2, tg);
  const auto got = run(fx, targets_2_to(fx.nelem));
  for (size_t i = 0; i < tg.size(); ++i) {
    Coefs one{};
    add_kernels(tg[i] - c, n, 1.0, area, one);
    const double q = 1.0 / dists[i];
    // Second-order remainder (kernels' second derivatives are at most ~10 times the kernel over
    // distance squared) plus the closed form's cancellation, which grows as distance squared.
    const double bound = 10.0 * q * q + 1e-15 / (q * q);
    expect_close(got[i], one, bound, 0.0, ("distance " + std::to_string(dists[i])).c_str());
  }
}

// U scales as 1/mu and with the length of the geometry; T does not change with either.
TEST(Triint, ScalingWithViscosityAndSize) {
  const V3 c = (1.0 / 3.0) * (kP0 + kP1 + kP2);
  const V3 n = unit_normal(kP0, kP1, kP2);
  const std::vector<V3> tg = {c + 0.1 * n, kP0 + 0.1 * n, c + V3{1.0, 2.0, -0.5},
                              c - 0.3 * n + 0.2 * (kP1 - kP0)};
  Fixture fx(kP0, kP1, kP2, tg);
  std::vector<int> elems = targets_2_to(fx.nelem);
  elems.push_back(1);
  const auto base = run(fx, elems, 1.0);
  const auto vis = run(fx, elems, 2.5);
  const double s = 3.7;
  std::vector<V3> tgs;
  for (const V3& t : tg) tgs.push_back(s * t);
  Fixture fs(s * kP0, s * kP1, s * kP2, tgs);
  for (int c2 = 0; c2 < 3; ++c2) fs.xcol[0 + c2 * fs.nelem] = s * fx.xcol[0 + c2 * fx.nelem];
  const auto big = run(fs, elems, 1.0, 1e-6 * s);
  for (size_t k = 0; k < elems.size(); ++k) {
    Coefs want_vis = base[k], want_big = base[k];
    for (int e = 0; e < 6; ++e) {
      want_vis[e] /= 2.5;
      want_big[e] *= s;
    }
    expect_close(vis[k], want_vis, 1e-15, 1.0, "viscosity");
    expect_close(big[k], want_big, 1e-13, 1.0, "size");
  }
}

// The normal comes back for any count; a count of 0 changes nothing else, and a list of nt
// targets touches entries 0..nt-1 only.
TEST(Triint, CountsAndUntouchedEntries) {
  const V3 c = (1.0 / 3.0) * (kP0 + kP1 + kP2);
  Fixture fx(kP0, kP1, kP2, {c + V3{0.1, 0.2, 0.3}, c + V3{-1, 0.5, 2}, c + V3{0.3, 0.3, -0.2}});
  const V3 n = unit_normal(kP0, kP1, kP2);
  const double sentinel = -7.25;
  for (const int nt : {0, -1, 2}) {
    Outputs out(5, sentinel);
    std::fill(out.ints.begin(), out.ints.end(), -99);
    std::vector<int> ltarg = {nt, 2, 3, 4, 1};
    double normal[3] = {0, 0, 0};
    TRIINT(fx.mesh(), 1.0, 1e-9, ltarg.data(), out.coef, out.work, normal, 1);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(normal[i], n[i], 1e-15);
    const int touched = std::max(nt, 0);
    for (int a = 0; a < 33; ++a)
      for (int k = touched; k < 5; ++k) EXPECT_EQ(out.reals[a * 5 + k], sentinel) << a << " " << k;
    for (int a = 0; a < 2; ++a)
      for (int k = touched; k < 5; ++k) EXPECT_EQ(out.ints[a * 5 + k], -99);
    for (int k = 0; k < touched; ++k) {
      EXPECT_NE(out.coef.u[0][k], sentinel);
      EXPECT_EQ(out.coef.t[3][k], out.coef.t[1][k]);  // T21 = T12
      EXPECT_EQ(out.coef.t[6][k], out.coef.t[2][k]);  // T31 = T13
      EXPECT_EQ(out.coef.t[7][k], out.coef.t[5][k]);  // T32 = T23
    }
  }
}

// With snaptol = 0 a projection exactly on a vertex is still snapped (the test is >=); the
// working state carries the flag, the signs and h.
TEST(Triint, ZeroSnapTolAndWorkingState) {
  const V3 p0{0, 0, 0}, p1{1, 0, 0}, p2{0, 1, 0};
  Fixture fx(p0, p1, p2, {{1, 0, 0.5}, {0.2, 0.2, -0.25}, {2, 2, 0}, {-1, 0.5, 1}});
  Outputs out(5);
  run(fx, {2, 3, 4, 5, 1}, 1.0, 0.0, TriintMath::Vector, &out);
  const int flags[5] = {23, 3, 2, 2, 3};
  const int signs[5] = {1, -1, 0, 1, 0};
  const double hs[5] = {0.5, -0.25, 0.0, 1.0, 0.0};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(out.work.flag[k], flags[k]) << k;
    EXPECT_EQ(out.work.s[k], signs[k]) << k;
    EXPECT_EQ(out.work.h[k], hs[k]) << k;
    EXPECT_EQ(out.work.sigma[k], signs[k] < 0 ? -1.0 : 1.0) << k;
  }
}

// The result for a target does not depend on the list it comes in (block and vector-lane
// position), and repeated calls give the same bits.
TEST(Triint, IndependentOfListPosition) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.5, 2.0);
  std::vector<V3> tg;
  for (int i = 0; i < 150; ++i) tg.push_back({u(rng), u(rng), u(rng)});
  Fixture fx(kP0, kP1, kP2, tg);
  const std::vector<int> all = targets_2_to(fx.nelem);
  const auto whole = run(fx, all);
  std::vector<int> rev(all.rbegin(), all.rend());
  const auto back = run(fx, rev);
  for (size_t k = 0; k < all.size(); k += 7) {
    const auto one = run(fx, {all[k]});
    EXPECT_EQ(std::memcmp(one[0].data(), whole[k].data(), sizeof(Coefs)), 0) << k;
  }
  for (size_t k = 0; k < all.size(); ++k)
    EXPECT_EQ(std::memcmp(back[all.size() - 1 - k].data(), whole[k].data(), sizeof(Coefs)), 0);
}

// The Stokeslet-only call gives the Stokeslet integrals of the full call bit for bit (targets
// above, below, in the plane, on vertices and edges, the source itself) and zero traction integrals.
TEST(Triint, StokesletOnlyMatchesFullCall) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.5, 2.0);
  std::vector<V3> tg;
  for (int i = 0; i < 100; ++i) tg.push_back({u(rng), u(rng), u(rng)});
  const V3 n = unit_normal(kP0, kP1, kP2);
  for (const V3& q : {kP0, kP1, kP2, 0.5 * (kP0 + kP1), (1.0 / 3.0) * (kP0 + kP1 + kP2)})
    for (double h : {0.0, 1e-3, -0.2}) tg.push_back(q + h * n);
  Fixture fx(kP0, kP1, kP2, tg);
  std::vector<int> elems = targets_2_to(fx.nelem);
  elems.push_back(1);
  std::vector<int> ltarg{static_cast<int>(elems.size())};
  ltarg.insert(ltarg.end(), elems.begin(), elems.end());
  Outputs full(static_cast<int>(elems.size())), part(static_cast<int>(elems.size()), 7.0);
  double normal[3];
  triint_with(TriintMath::Vector, fx.mesh(), 1.3, 1e-6, ltarg.data(), full.coef, full.work,
              normal, 1, TriintParts::All);
  triint_with(TriintMath::Vector, fx.mesh(), 1.3, 1e-6, ltarg.data(), part.coef, part.work,
              normal, 1, TriintParts::StokesletOnly);
  for (size_t k = 0; k < elems.size(); ++k) {
    const Coefs a = full.at(static_cast<int>(k)), b = part.at(static_cast<int>(k));
    EXPECT_EQ(std::memcmp(a.data(), b.data(), 6 * sizeof(double)), 0) << k;
    for (int c = 6; c < 15; ++c) EXPECT_EQ(b[c], 0.0) << k;
  }
}

// TRIINT over shared targets with node and edge rows gives TRIINT's bits for every element of a
// closed mesh as source, with targets at collocation points, on nodes, on edges, off the surface
// and on the source itself; the rows are formed once per node and edge, whatever the element.
TEST(Triint, SharedRowsMatchPerElementCall) {
  SurfaceMesh sm = icosphere(1, 1.0);
  const int ne = sm.nelem;
  std::vector<double> xcol(3 * static_cast<size_t>(ne));
  collocation_points(ne, sm.nnode, sm.ielem.data(), sm.xnode.data(), xcol.data());
  // Some collocation points moved: onto a node (snapped for the elements around it), onto an
  // edge's midpoint, near a node within and beyond the snap tolerance, and off the surface.
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  for (int e = 1; e <= ne; e += 3) {
    const int a = sm.node(e, 1), b = sm.node(e, 2);
    V3 q;
    switch ((e / 3) % 5) {
      case 0: q = {sm.x(a, 1), sm.x(a, 2), sm.x(a, 3)}; break;
      case 1: q = 0.5 * (V3{sm.x(a, 1), sm.x(a, 2), sm.x(a, 3)} + V3{sm.x(b, 1), sm.x(b, 2), sm.x(b, 3)}); break;
      case 2: q = V3{sm.x(b, 1), sm.x(b, 2), sm.x(b, 3)} + V3{4e-7, -3e-7, 2e-7}; break;
      case 3: q = V3{sm.x(b, 1), sm.x(b, 2), sm.x(b, 3)} + V3{3e-6, 0.0, 1e-6}; break;
      default: q = {u(rng), u(rng), u(rng)}; break;
    }
    for (int c = 0; c < 3; ++c) xcol[(e - 1) + c * static_cast<size_t>(ne)] = q[c];
  }
  const MeshView mesh{ne, sm.nnode, sm.ielem.data(), sm.xnode.data(), xcol.data(), nullptr};
  const double snaptol = 1e-6, mu = 0.7;

  // All elements are targets, in a scrambled order.
  std::vector<int> elems(ne);
  for (int e = 0; e < ne; ++e) elems[e] = e + 1;
  std::shuffle(elems.begin(), elems.end(), rng);
  std::vector<int> ltarg{ne};
  ltarg.insert(ltarg.end(), elems.begin(), elems.end());
  const int np = triint_padded(ne);
  std::vector<double> tx(np), ty(np), tz(np);
  for (int k = 0; k < np; ++k) {
    const int e = elems[std::min(k, ne - 1)];
    tx[k] = mesh.col(e, 1);
    ty[k] = mesh.col(e, 2);
    tz[k] = mesh.col(e, 3);
  }
  TriintTargets tg;
  tg.n = ne;
  tg.elem = elems.data();
  tg.x = tx.data();
  tg.y = ty.data();
  tg.z = tz.data();
  std::vector<std::vector<double>> node_row(sm.nnode + 1, std::vector<double>(np));
  for (int i = 1; i <= sm.nnode; ++i) {
    const double pnt[3] = {sm.x(i, 1), sm.x(i, 2), sm.x(i, 3)};
    triint_node_row(tg, pnt, node_row[i].data());
  }

  for (TriintParts parts : {TriintParts::All, TriintParts::StokesletOnly}) {
    const int nres = parts == TriintParts::All ? 15 : 6;
    for (int es = 1; es <= ne; ++es) {
      std::vector<std::vector<double>> f(3, std::vector<double>(np));
      TriintSourceRows rows;
      for (int j = 0; j < 3; ++j) {
        int a = mesh.node(es, j + 1), b = mesh.node(es, (j + 1) % 3 + 1);
        if (a > b) std::swap(a, b);  // the edge row starts from its lower-numbered node
        const double pa[3] = {sm.x(a, 1), sm.x(a, 2), sm.x(a, 3)};
        const double pb[3] = {sm.x(b, 1), sm.x(b, 2), sm.x(b, 3)};
        triint_edge_row(tg, triint_edge_length(pa, pb), node_row[a].data(), node_row[b].data(),
                        f[j].data());
        rows.r[j] = node_row[mesh.node(es, j + 1)].data();
        rows.f[j] = f[j].data();
      }
      Outputs ref(ne), got(ne, 9.0);
      double n1[3], n2[3];
      triint_with(TriintMath::Vector, mesh, mu, snaptol, ltarg.data(), ref.coef, ref.work, n1, es,
                  parts);
      triint_shared(mesh, mu, snaptol, tg, rows, got.coef, n2, es, parts);
      EXPECT_EQ(std::memcmp(n1, n2, sizeof n1), 0);
      for (int k = 0; k < ne; ++k) {
        const Coefs a = ref.at(k), b = got.at(k);
        ASSERT_EQ(std::memcmp(a.data(), b.data(), nres * sizeof(double)), 0)
            << "source " << es << " target " << elems[k] << " parts " << nres;
      }
    }
  }
}

// ULP distance between two finite doubles of the same sign.
int64_t ulps(double a, double b) {
  int64_t ia, ib;
  std::memcpy(&ia, &a, 8);
  std::memcpy(&ib, &b, 8);
  if (ia < 0) ia = INT64_MIN - ia;
  if (ib < 0) ib = INT64_MIN - ib;
  return ia > ib ? ia - ib : ib - ia;
}

// The vector logarithm and atan2 stay within 4 ulp of the scalar library over the ranges TRIINT
// feeds them, agree on the special values, and the whole routine matches its scalar path.
TEST(Triint, VectorMathMatchesScalar) {
  if (!triint_vector_math_available()) GTEST_SKIP() << "vector math not compiled in";
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> ex(-40.0, 40.0), un(-1.0, 1.0);
  const int n = 1 << 16;
  std::vector<double> x(n), y(n), a(n), b(n);
  for (int k = 0; k < n; ++k) x[k] = 1.0 + std::exp2(ex(rng)) * std::fabs(un(rng));
  triint_log(TriintMath::Vector, x.data(), a.data(), n);
  triint_log(TriintMath::Scalar, x.data(), b.data(), n);
  int64_t worst = 0;
  for (int k = 0; k < n; ++k) worst = std::max(worst, ulps(a[k], b[k]));
  EXPECT_LE(worst, 4) << "log";
  for (int k = 0; k < n; ++k) {
    x[k] = un(rng) * std::exp2(ex(rng));
    y[k] = un(rng) * std::exp2(ex(rng));
  }
  triint_atan2(TriintMath::Vector, y.data(), x.data(), a.data(), n);
  triint_atan2(TriintMath::Scalar, y.data(), x.data(), b.data(), n);
  worst = 0;
  for (int k = 0; k < n; ++k)
    if ((a[k] < 0) == (b[k] < 0))
      worst = std::max(worst, ulps(a[k], b[k]));
    else
      ADD_FAILURE() << "atan2 sign " << y[k] << " " << x[k];
  EXPECT_LE(worst, 4) << "atan2";

  const double inf = INFINITY;
  const double sx[8] = {inf, 1.0, 0.0, 1e300, 1.0, 2.0, 0.5, 1e-300};
  double sa[8], sb[8];
  triint_log(TriintMath::Vector, sx, sa, 8);
  triint_log(TriintMath::Scalar, sx, sb, 8);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(sa[k], sb[k]) << sx[k];
  const double ay[8] = {0.0, 0.0, 1.0, -1.0, 0.0, -0.0, 1e-300, 5.0};
  const double axv[8] = {-1.0, 1.0, 0.0, 0.0, 0.0, -2.0, -1e300, inf};
  triint_atan2(TriintMath::Vector, ay, axv, sa, 8);
  triint_atan2(TriintMath::Scalar, ay, axv, sb, 8);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(sa[k], sb[k]) << ay[k] << " " << axv[k];

  std::vector<V3> tg;
  std::uniform_real_distribution<double> u(-1.5, 2.0);
  for (int i = 0; i < 200; ++i) tg.push_back({u(rng), u(rng), u(rng)});
  Fixture fx(kP0, kP1, kP2, tg);
  std::vector<int> elems = targets_2_to(fx.nelem);
  elems.push_back(1);
  const auto vec = run(fx, elems, 1.0, 1e-9, TriintMath::Vector);
  const auto sca = run(fx, elems, 1.0, 1e-9, TriintMath::Scalar);
  for (size_t k = 0; k < elems.size(); ++k) expect_close(vec[k], sca[k], 1e-13, 1e-3, "paths");
}

}  // namespace
}  // namespace velmora
