// The closed-body null space: the augmented operator against a bordered dense
// solve on a bevelled box, the pressure constant against the exact traction
// of a Stokeslet inside it, which mixed-code bodies carry the null vector,
// the interior point of a torus and the source integrals' exact totals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "bem/bodies.hpp"
#include "bem/interior_point.hpp"
#include "bem/null_space.hpp"
#include "bem/pressure_constant.hpp"
#include "bem/shapes.hpp"
#include "common/constants.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"
#include "rigid/rigid_solver.hpp"
#include "solver/lu.hpp"

namespace velmora {
namespace {

using P = std::array<double, 3>;

double dot3(const P& a, const P& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
P cross3(const P& a, const P& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// A box with bevelled edges and corners: the convex hull of the 24 points with
// one coordinate +-1 and the other two +-a (a < 1), whose faces are 6 squares,
// 12 bevels and 8 corner triangles, scaled by `scale` per axis and refined
// `refine` times by splitting every triangle into four.  Flat faces and sharp
// edges, normals into the body.
SurfaceMesh bevelled_box(double a, P scale, int refine) {
  std::vector<P> v;
  for (int axis = 0; axis < 3; ++axis)
    for (int s = 0; s < 8; ++s) {
      P p;
      for (int c = 0; c < 3; ++c) p[c] = ((s >> c) & 1 ? -1.0 : 1.0) * (c == axis ? 1.0 : a);
      v.push_back(p);
    }
  std::vector<P> normals;
  for (int i = 0; i < 3; ++i)
    for (double s : {1.0, -1.0}) {
      P n{0, 0, 0};
      n[i] = s;
      normals.push_back(n);
    }
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j)
      for (double si : {1.0, -1.0})
        for (double sj : {1.0, -1.0}) {
          P n{0, 0, 0};
          n[i] = si, n[j] = sj;
          normals.push_back(n);
        }
  for (int s = 0; s < 8; ++s)
    normals.push_back({s & 1 ? -1.0 : 1.0, s & 2 ? -1.0 : 1.0, s & 4 ? -1.0 : 1.0});

  std::vector<std::array<int, 3>> tri;
  for (const P& n : normals) {
    double top = -1e300;
    for (const P& p : v) top = std::max(top, dot3(p, n));
    std::vector<int> face;
    for (int k = 0; k < static_cast<int>(v.size()); ++k)
      if (dot3(v[k], n) > top - 1e-12) face.push_back(k);
    P c{0, 0, 0};
    for (int k : face)
      for (int d = 0; d < 3; ++d) c[d] += v[k][d] / face.size();
    P e1{v[face[0]][0] - c[0], v[face[0]][1] - c[1], v[face[0]][2] - c[2]};
    const P e2 = cross3(n, e1);
    std::sort(face.begin(), face.end(), [&](int p, int q) {
      const P dp{v[p][0] - c[0], v[p][1] - c[1], v[p][2] - c[2]};
      const P dq{v[q][0] - c[0], v[q][1] - c[1], v[q][2] - c[2]};
      return std::atan2(dot3(dp, e2), dot3(dp, e1)) < std::atan2(dot3(dq, e2), dot3(dq, e1));
    });
    // Counter-clockwise about the outward n; reversed so the normals point in.
    for (std::size_t k = 1; k + 1 < face.size(); ++k) tri.push_back({face[0], face[k + 1], face[k]});
  }
  for (int r = 0; r < refine; ++r) {
    std::map<std::pair<int, int>, int> mid;
    auto midpoint = [&](int p, int q) {
      const auto key = std::minmax(p, q);
      auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      v.push_back({0.5 * (v[p][0] + v[q][0]), 0.5 * (v[p][1] + v[q][1]), 0.5 * (v[p][2] + v[q][2])});
      mid[key] = static_cast<int>(v.size()) - 1;
      return static_cast<int>(v.size()) - 1;
    };
    std::vector<std::array<int, 3>> next;
    for (const auto& t : tri) {
      const int ab = midpoint(t[0], t[1]), bc = midpoint(t[1], t[2]), ca = midpoint(t[2], t[0]);
      next.push_back({t[0], ab, ca});
      next.push_back({ab, t[1], bc});
      next.push_back({ca, bc, t[2]});
      next.push_back({ab, bc, ca});
    }
    tri = next;
  }
  SurfaceMesh m;
  m.nnode = static_cast<int>(v.size());
  m.nelem = static_cast<int>(tri.size());
  m.xnode.resize(3 * v.size());
  m.ielem.resize(3 * tri.size());
  for (int k = 0; k < m.nnode; ++k)
    for (int c = 0; c < 3; ++c) m.xnode[k + c * m.nnode] = scale[c] * v[k][c];
  for (int e = 0; e < m.nelem; ++e)
    for (int c = 0; c < 3; ++c) m.ielem[e + c * m.nelem] = tri[e][c] + 1;
  return m;
}

testing::Model model_of(SurfaceMesh mesh, double mu) {
  testing::Model m;
  m.mesh = std::move(mesh);
  m.mu = mu;
  const int ne = m.mesh.nelem;
  m.bc.assign(6 * static_cast<std::size_t>(ne), 1.0);  // velocity codes
  for (int e = 0; e < ne; ++e)
    for (int k = 3; k < 6; ++k) m.bc[e + k * static_cast<std::size_t>(ne)] = 0.0;
  m.xcol.assign(3 * static_cast<std::size_t>(ne), 0.0);
  collocation_points(ne, m.mesh.nnode, m.mesh.ielem.data(), m.mesh.xnode.data(), m.xcol.data());
  return m;
}

void set_velocity(testing::Model& m, const std::function<P(const P&)>& u) {
  const int ne = m.mesh.nelem;
  for (int e = 1; e <= ne; ++e) {
    const P x{m.xcol[e - 1], m.xcol[e - 1 + ne], m.xcol[e - 1 + 2 * ne]};
    const P v = u(x);
    for (int k = 0; k < 3; ++k) m.bc[(e - 1) + (k + 3) * static_cast<std::size_t>(ne)] = v[k];
  }
}

struct Dense {
  int n = 0;
  std::vector<double> a, b;
};

Dense dense_system(const testing::Model& m) {
  Dense d;
  d.n = 3 * m.mesh.nelem;
  testing::NearStore near(m.mesh.nelem);
  d.a = testing::dense_matrix(m.view(), m.mu, 1e-8, near.view());
  d.b.assign(d.n, 0.0);
  testing::dense_apply(m.view(), m.mu, 1e-8, near.view(), 0, nullptr, d.b.data());
  return d;
}

void matvec(const Dense& d, const double* x, double* y) {
  std::fill(y, y + d.n, 0.0);
  for (int j = 0; j < d.n; ++j)
    for (int i = 0; i < d.n; ++i) y[i] += d.a[static_cast<std::size_t>(j) * d.n + i] * x[j];
}

// The bordered system [A n; w^T 0] [x; l] = [b; 0] (n the normals on the
// velocity components, w the area-weighted normals) by LU: a non-singular
// formulation independent of the augmentation, with A x = b - l n.
std::vector<double> bordered_solve(const testing::Model& m, const Dense& d) {
  const int n = d.n, nb = n + 1;
  std::vector<double> a(static_cast<std::size_t>(nb) * nb, 0.0), rhs(nb, 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(j) * nb + i] = d.a[static_cast<std::size_t>(j) * n + i];
  const MeshView mv = m.view();
  for (int e = 1; e <= m.mesh.nelem; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    for (int k = 0; k < 3; ++k) {
      const int j = 3 * (e - 1) + k;
      a[static_cast<std::size_t>(n) * nb + j] = g.normal[k];
      a[static_cast<std::size_t>(j) * nb + n] = g.area * g.normal[k];
    }
  }
  for (int i = 0; i < n; ++i) rhs[i] = d.b[i];
  std::vector<int> ipvt(nb);
  int info = 0;
  lufact(a.data(), nb, nb, ipvt.data(), info);
  EXPECT_EQ(info, 0);
  lusolv(a.data(), nb, nb, ipvt.data(), rhs.data(), 0);
  rhs.resize(n);
  return rhs;
}

P force_of(const MeshView& mv, const std::vector<double>& t) {
  P f{0, 0, 0};
  for (int e = 1; e <= mv.nelem; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    for (int k = 0; k < 3; ++k) f[k] -= g.area * t[3 * (e - 1) + k];
  }
  return f;
}

// Velocities of every element (all prescribed here).
std::vector<double> velocities(const testing::Model& m) {
  const int ne = m.mesh.nelem;
  std::vector<double> u(3 * static_cast<std::size_t>(ne));
  for (int e = 0; e < ne; ++e)
    for (int k = 0; k < 3; ++k) u[3 * e + k] = m.bc[e + (k + 3) * static_cast<std::size_t>(ne)];
  return u;
}

const P kScale{1.3, 1.0, 0.8};

// Translating bevelled box (704 elements): the dense system is singular and
// its right-hand side has a part along the null direction that no traction
// produces, so plain GMRES stalls far above 1e-10; the augmented operator
// converges, and its tractions, with the constant of t + c n set, are the
// bordered LU solve's with the same constant, to the solve's tolerance.
TEST(NullSpace, AugmentedBoxMatchesBorderedDenseSolve) {
  testing::Model m = model_of(bevelled_box(0.6, kScale, 2), 1.0);
  ASSERT_EQ(m.mesh.nelem, 704);
  set_velocity(m, [](const P&) { return P{1.0, 0.0, 0.0}; });
  const MeshView mv = m.view();
  const Bodies bodies = find_bodies(mv);
  ASSERT_EQ(bodies.count, 1);
  ASSERT_TRUE(bodies.closed[0]);
  const ClosedBodyNullSpace ns(mv, bodies, m.mu);
  ASSERT_EQ(ns.treated().size(), 1u);
  const Dense d = dense_system(m);
  const int n = d.n;

  // The normals are a null vector of the dense matrix to rounding.
  std::vector<double> nv(n), an(n);
  for (int e = 1; e <= m.mesh.nelem; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    for (int k = 0; k < 3; ++k) nv[3 * (e - 1) + k] = g.normal[k];
  }
  matvec(d, nv.data(), an.data());
  double amax = 0, anmax = 0;
  for (double x : d.a) amax = std::max(amax, std::fabs(x));
  for (double x : an) anmax = std::max(anmax, std::fabs(x));
  EXPECT_LT(anmax, 1e-11 * amax * n);

  const std::function<void(const double*, double*)> plain = [&](const double* x, double* y) {
    matvec(d, x, y);
  };
  const std::function<void(const double*, double*)> augmented = [&](const double* x, double* y) {
    matvec(d, x, y);
    ns.augment(x, y);
  };
  std::vector<double> x0(n), x1(n);
  const SolveReport r0 = gmres_solve(n, 30, 240, 1e-10, plain, nullptr, d.b.data(), x0.data());
  const SolveReport r1 = gmres_solve(n, 30, 240, 1e-10, augmented, nullptr, d.b.data(), x1.data());
  EXPECT_FALSE(r0.converged);
  EXPECT_GT(r0.backward_error, 1e-8);
  EXPECT_TRUE(r1.converged) << r1.iterations << " " << r1.backward_error;
  // What the augmentation removed is the part that stalls the plain solve.
  const double bnorm = std::sqrt(std::inner_product(d.b.begin(), d.b.end(), d.b.begin(), 0.0));
  const double removed = std::fabs(ns.removed(x1.data())[0]) / bnorm;
  EXPECT_GT(removed, 1e-8);
  EXPECT_LT(removed, r0.backward_error * 1.01);

  std::vector<double> xb = bordered_solve(m, d);
  const std::vector<double> u = velocities(m);
  fix_pressure_constants(mv, bodies, ns, m.mu, u.data(), x1.data());
  fix_pressure_constants(mv, bodies, ns, m.mu, u.data(), xb.data());
  double diff = 0, tmax = 0;
  for (int i = 0; i < n; ++i) {
    diff = std::max(diff, std::fabs(x1[i] - xb[i]));
    tmax = std::max(tmax, std::fabs(xb[i]));
  }
  EXPECT_LT(diff, 1e-6 * tmax);
  const P f1 = force_of(mv, x1), fb = force_of(mv, xb);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(f1[k], fb[k], 1e-7 * std::fabs(fb[0])) << k;
}

// The constant is physical: the box moving with the velocity of a Stokeslet
// f and a point source q (flux 4 pi q) placed off-centre inside it has, as
// exact solution, their flow, whose pressure vanishes at infinity and whose
// traction on the box is
//   sigma n = -(3 / 4 pi) r (r . f)(r . n) / r^5 + 2 mu q (n / r^3 - 3 r (r . n) / r^5).
// The source's share is mostly normal, so the area-mean normal traction is of
// the size of the traction itself, and only the right constant gets it: the
// solved tractions match the exact ones to the discretisation error (8 % in
// the mean square at 704 elements, most of it at the edges).
TEST(NullSpace, ConstantMatchesTheTractionOfAnInteriorStokesletAndSource) {
  const double mu = 0.7, q = 0.05;
  testing::Model m = model_of(bevelled_box(0.6, kScale, 2), mu);
  const P x1{0.45, -0.25, 0.2}, f{0.3, 1.0, -0.6};
  auto rvec = [&](const P& y) { return P{y[0] - x1[0], y[1] - x1[1], y[2] - x1[2]}; };
  set_velocity(m, [&](const P& y) {
    const P r = rvec(y);
    const double rr = std::sqrt(dot3(r, r)), rf = dot3(r, f);
    P v;
    for (int k = 0; k < 3; ++k)
      v[k] = (f[k] / rr + r[k] * rf / (rr * rr * rr)) / (8 * kPi * mu) + q * r[k] / (rr * rr * rr);
    return v;
  });
  const MeshView mv = m.view();
  const Bodies bodies = find_bodies(mv);
  const ClosedBodyNullSpace ns(mv, bodies, mu);
  const Dense d = dense_system(m);
  std::vector<double> t(d.n);
  const std::function<void(const double*, double*)> augmented = [&](const double* x, double* y) {
    matvec(d, x, y);
    ns.augment(x, y);
  };
  ASSERT_TRUE(gmres_solve(d.n, 30, 300, 1e-10, augmented, nullptr, d.b.data(), t.data()).converged);
  const std::vector<double> u = velocities(m);
  fix_pressure_constants(mv, bodies, ns, mu, u.data(), t.data());

  double err2 = 0, ref2 = 0, area = 0, mean_solved = 0, mean_exact = 0;
  for (int e = 1; e <= mv.nelem; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    const P y{mv.col(e, 1), mv.col(e, 2), mv.col(e, 3)};
    const P r = rvec(y);
    const P nn{g.normal[0], g.normal[1], g.normal[2]};
    const double rr = std::sqrt(dot3(r, r)), rn = dot3(r, nn);
    const double s = -3.0 / (4 * kPi) * dot3(r, f) * rn / std::pow(rr, 5);
    double tn = 0, en = 0;
    for (int k = 0; k < 3; ++k) {
      const double ex =
          s * r[k] + 2 * mu * q * (nn[k] / std::pow(rr, 3) - 3 * r[k] * rn / std::pow(rr, 5));
      const double got = t[3 * (e - 1) + k];
      err2 += g.area * (got - ex) * (got - ex);
      ref2 += g.area * ex * ex;
      tn += got * nn[k];
      en += ex * nn[k];
    }
    area += g.area;
    mean_solved += g.area * tn;
    mean_exact += g.area * en;
  }
  mean_solved /= area;
  mean_exact /= area;
  const double rms = std::sqrt(ref2 / area);
  EXPECT_LT(std::sqrt(err2 / ref2), 0.1);
  EXPECT_GT(std::fabs(mean_exact), 0.3 * rms);
  EXPECT_NEAR(mean_solved, mean_exact, 0.05 * rms);
}

// Which mixed bodies carry the null vector: a traction prescribed on the
// tangential components of the box's +-x faces (normal exactly +-e_x) keeps
// A n = 0 for n on the velocity components, so the body is treated; a
// traction on the normal component there breaks it (A n is of the size of
// the operator), and the body is left alone.
TEST(NullSpace, MixedBodiesTreatedExactlyWhenTheNormalMissesTheirTractions) {
  for (const int traction_component : {2, 1}) {
    testing::Model m = model_of(bevelled_box(0.6, kScale, 1), 1.0);
    const MeshView mv = m.view();
    const int ne = m.mesh.nelem;
    int faces = 0;
    for (int e = 1; e <= ne; ++e) {
      const ElementGeometry g = element_geometry(mv, e);
      if (std::fabs(g.normal[0]) != 1.0) continue;
      ++faces;
      m.bc[(e - 1) + (traction_component - 1) * static_cast<std::size_t>(ne)] = 2.0;
      m.bc[(e - 1) + (traction_component + 2) * static_cast<std::size_t>(ne)] = 0.3;
    }
    ASSERT_EQ(faces, 2 * 2 * 4);
    const Bodies bodies = find_bodies(mv);
    const ClosedBodyNullSpace ns(mv, bodies, 1.0);
    const Dense d = dense_system(m);
    std::vector<double> nv(d.n, 0.0), an(d.n);
    for (int e = 1; e <= ne; ++e) {
      const ElementGeometry g = element_geometry(mv, e);
      for (int k = 1; k <= 3; ++k)
        if (!mv.traction_prescribed(e, k)) nv[3 * (e - 1) + k - 1] = g.normal[k - 1];
    }
    matvec(d, nv.data(), an.data());
    double anmax = 0, amax = 0;
    for (double x : an) anmax = std::max(anmax, std::fabs(x));
    for (double x : d.a) amax = std::max(amax, std::fabs(x));
    if (traction_component == 2) {
      EXPECT_EQ(ns.treated().size(), 1u);
      EXPECT_LT(anmax, 1e-11 * amax * d.n);
    } else {
      EXPECT_TRUE(ns.empty());
      EXPECT_GT(anmax, 1e-3 * amax);
    }
  }
}

// A container (the box with its normals turned outward, fluid inside) leaves
// the pressure level free: of t = T + 5 n (T uniform, no normal mean on a
// closed surface) the treatment removes exactly the 5 n; turned back, the
// same box is an exterior body and gets the source condition instead.
TEST(NullSpace, ContainerGetsZeroMeanNormalTraction) {
  testing::Model m = model_of(bevelled_box(0.6, kScale, 1), 1.0);
  const int ne = m.mesh.nelem;
  for (int e = 0; e < ne; ++e) std::swap(m.mesh.ielem[e + ne], m.mesh.ielem[e + 2 * ne]);
  const MeshView mv = m.view();
  const Bodies bodies = find_bodies(mv);
  const ClosedBodyNullSpace ns(mv, bodies, 1.0);
  ASSERT_EQ(ns.treated().size(), 1u);
  const P uniform{0.4, -1.1, 0.7};
  std::vector<double> t(3 * static_cast<std::size_t>(ne)), u(t.size(), 0.0);
  for (int e = 1; e <= ne; ++e) {
    const ElementGeometry g = element_geometry(mv, e);
    for (int k = 0; k < 3; ++k) t[3 * (e - 1) + k] = uniform[k] + 5.0 * g.normal[k];
  }
  const std::vector<PressureConstant> pc = fix_pressure_constants(mv, bodies, ns, 1.0, u.data(), t.data());
  ASSERT_EQ(pc.size(), 1u);
  EXPECT_TRUE(pc[0].container);
  EXPECT_NEAR(pc[0].c, -5.0, 1e-12);
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_NEAR(t[i], uniform[i % 3], 1e-12);

  for (int e = 0; e < ne; ++e) std::swap(m.mesh.ielem[e + ne], m.mesh.ielem[e + 2 * ne]);
  const std::vector<PressureConstant> ext =
      fix_pressure_constants(m.view(), find_bodies(m.view()), ns, 1.0, u.data(), t.data());
  EXPECT_FALSE(ext[0].container);
  EXPECT_TRUE(ext[0].source_found);
}

// A torus's volume centroid lies in its hole: the interior point is a ray
// midpoint inside the tube, about a tube radius from the surface.
TEST(NullSpace, InteriorPointOfATorusLiesInItsTube) {
  const SurfaceMesh tor = torus(48, 16, 1.0, 0.3);
  std::vector<double> xcol(3 * static_cast<std::size_t>(tor.nelem));
  collocation_points(tor.nelem, tor.nnode, tor.ielem.data(), tor.xnode.data(), xcol.data());
  const MeshView mv = view_of(tor, xcol.data(), nullptr);
  const Bodies bodies = find_bodies(mv);
  ASSERT_EQ(bodies.count, 1);
  const std::vector<int> elems = elements_of_body(bodies, 0);
  EXPECT_LT(signed_volume_of(mv, elems), 0.0);
  const double centre[3] = {0, 0, 0};
  EXPECT_NEAR(winding_number(mv, elems, centre), 0.0, 1e-9);
  const InteriorPoint ip = interior_point(mv, elems);
  ASSERT_TRUE(ip.found);
  EXPECT_NEAR(winding_number(mv, elems, ip.x), 1.0, 1e-9);
  EXPECT_GT(ip.clearance, 0.8 * 0.3);
  const double rho = std::hypot(ip.x[0], ip.x[1]);
  EXPECT_NEAR(rho, 1.0, 0.1);
}

// The source integrals' totals over a closed surface are exact: the flux
// sum n . I = -4 pi (n into the body) and the force sum J = 0, also for a
// source close to the surface (the adaptive splitting at work).
TEST(NullSpace, SourceIntegralsGiveTheExactFluxAndNoForce) {
  testing::Model m = model_of(bevelled_box(0.6, kScale, 1), 1.0);
  const MeshView mv = m.view();
  for (const P& x0 : {P{0.0, 0.0, 0.0}, P{1.2, 0.1, -0.2}}) {
    double flux = 0;
    P force{0, 0, 0};
    for (int e = 1; e <= mv.nelem; ++e) {
      double ie[3], je[3];
      source_integrals(mv, e, x0.data(), 2.0, ie, je);
      const ElementGeometry g = element_geometry(mv, e);
      for (int k = 0; k < 3; ++k) {
        flux += g.normal[k] * ie[k];
        force[k] += je[k];
      }
    }
    // The 7-point rule (degree 5) on pieces at most a quarter of their
    // distance across: relative errors of order 4^-6 on the nearest pieces,
    // whose source traction is about 2 mu / 0.1^3 times their area.
    EXPECT_NEAR(flux, -4 * kPi, 1e-7) << x0[0];
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(force[k], 0.0, 2e-5) << x0[0] << " " << k;
  }
}

}  // namespace
}  // namespace velmora
