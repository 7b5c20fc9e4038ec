#include "bem/interior_point.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "common/constants.hpp"

namespace velmora {
namespace {

struct Tri {
  double a[3], b[3], c[3];
};

Tri triangle(const MeshView& mesh, int e) {
  Tri t;
  for (int c = 0; c < 3; ++c) {
    t.a[c] = mesh.x(mesh.node(e, 1), c + 1);
    t.b[c] = mesh.x(mesh.node(e, 2), c + 1);
    t.c[c] = mesh.x(mesh.node(e, 3), c + 1);
  }
  return t;
}

double dot(const double* p, const double* q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }

void cross(const double* p, const double* q, double* r) {
  r[0] = p[1] * q[2] - p[2] * q[1];
  r[1] = p[2] * q[0] - p[0] * q[2];
  r[2] = p[0] * q[1] - p[1] * q[0];
}

void sub(const double* p, const double* q, double* r) {
  for (int c = 0; c < 3; ++c) r[c] = p[c] - q[c];
}

// Squared distance from p to the triangle (closest point by the regions of
// the vertices, edges and face).
double distance2(const Tri& t, const double* p) {
  double ab[3], ac[3], ap[3], q[3];
  sub(t.b, t.a, ab);
  sub(t.c, t.a, ac);
  sub(p, t.a, ap);
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  auto at = [&](double s, double u) {
    for (int c = 0; c < 3; ++c) q[c] = t.a[c] + s * ab[c] + u * ac[c];
    double d[3];
    sub(p, q, d);
    return dot(d, d);
  };
  if (d1 <= 0.0 && d2 <= 0.0) return at(0.0, 0.0);
  double bp[3];
  sub(p, t.b, bp);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return at(1.0, 0.0);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return at(d1 / (d1 - d3), 0.0);
  double cp[3];
  sub(p, t.c, cp);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return at(0.0, 1.0);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return at(0.0, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    return at(1.0 - w, w);
  }
  const double den = 1.0 / (va + vb + vc);
  return at(vb * den, vc * den);
}

// Distance along the ray o + s d (s > smin) to the triangle, or infinity
// (Moller-Trumbore).
double ray_hit(const Tri& t, const double* o, const double* d, double smin) {
  double e1[3], e2[3], pv[3], tv[3], qv[3];
  sub(t.b, t.a, e1);
  sub(t.c, t.a, e2);
  cross(d, e2, pv);
  const double det = dot(e1, pv);
  const double inf = std::numeric_limits<double>::infinity();
  if (det == 0.0) return inf;
  const double inv = 1.0 / det;
  sub(o, t.a, tv);
  const double u = dot(tv, pv) * inv;
  if (u < 0.0 || u > 1.0) return inf;
  cross(tv, e1, qv);
  const double v = dot(d, qv) * inv;
  if (v < 0.0 || u + v > 1.0) return inf;
  const double s = dot(e2, qv) * inv;
  return s > smin ? s : inf;
}

}  // namespace

std::vector<int> elements_of_body(const Bodies& bodies, int b) {
  std::vector<int> elems;
  for (std::size_t i = 0; i < bodies.of_element.size(); ++i)
    if (bodies.of_element[i] == b) elems.push_back(static_cast<int>(i) + 1);
  return elems;
}

double winding_number(const MeshView& mesh, const std::vector<int>& elems, const double p[3]) {
  double sum = 0.0;
  for (int e : elems) {
    const Tri t = triangle(mesh, e);
    double a[3][3], len[3];
    sub(t.a, p, a[0]);
    sub(t.b, p, a[1]);
    sub(t.c, p, a[2]);
    for (int v = 0; v < 3; ++v) len[v] = std::sqrt(dot(a[v], a[v]));
    double bc[3];
    cross(a[1], a[2], bc);
    const double det = dot(a[0], bc);
    const double den = len[0] * len[1] * len[2] + dot(a[0], a[1]) * len[2] +
                       dot(a[0], a[2]) * len[1] + dot(a[1], a[2]) * len[0];
    // Solid angle of one triangle (Van Oosterom and Strackee), positive when
    // its nodes run counter-clockwise seen from p.
    sum += 2.0 * std::atan2(det, den);
  }
  // Normals into the body: the nodes run clockwise seen from inside.
  return -sum / (4.0 * kPi);
}

double signed_volume_of(const MeshView& mesh, const std::vector<int>& elems) {
  double v = 0.0;
  for (int e : elems) {
    const Tri t = triangle(mesh, e);
    double bc[3];
    cross(t.b, t.c, bc);
    v += dot(t.a, bc) / 6.0;
  }
  return v;
}

double distance_to_surface(const MeshView& mesh, const std::vector<int>& elems, const double p[3]) {
  double d2 = std::numeric_limits<double>::infinity();
  for (int e : elems) d2 = std::min(d2, distance2(triangle(mesh, e), p));
  return std::sqrt(d2);
}

namespace {

// The candidates: the volume centroid first, then the ray midpoints.
std::vector<std::array<double, 3>> candidates(const MeshView& mesh, const std::vector<int>& elems,
                                              int rays) {
  std::vector<std::array<double, 3>> cand;
  if (elems.empty()) return cand;

  // Volume centroid: the tetrahedra (origin taken at the first node) weighted
  // by their signed volumes.
  {
    const Tri t0 = triangle(mesh, elems[0]);
    double vol = 0.0, c[3] = {0.0, 0.0, 0.0};
    for (int e : elems) {
      const Tri t = triangle(mesh, e);
      double a[3], b[3], q[3], bc[3];
      sub(t.a, t0.a, a);
      sub(t.b, t0.a, b);
      sub(t.c, t0.a, q);
      cross(b, q, bc);
      const double v = dot(a, bc) / 6.0;
      vol += v;
      for (int k = 0; k < 3; ++k) c[k] += v * (a[k] + b[k] + q[k]) / 4.0;
    }
    if (vol != 0.0) cand.push_back({t0.a[0] + c[0] / vol, t0.a[1] + c[1] / vol, t0.a[2] + c[2] / vol});
  }

  // Rays along n from element centroids spread evenly over the list, to the
  // first element they meet; the candidate is the midpoint.
  const int n = static_cast<int>(elems.size());
  const int nray = std::min(rays, n);
  for (int r = 0; r < nray; ++r) {
    const int e = elems[static_cast<std::size_t>(static_cast<long long>(r) * n / nray)];
    const Tri t = triangle(mesh, e);
    double e1[3], e2[3], d[3], o[3];
    sub(t.b, t.a, e1);
    sub(t.c, t.a, e2);
    cross(e1, e2, d);
    const double len = std::sqrt(dot(d, d));
    if (!(len > 0.0)) continue;
    for (int k = 0; k < 3; ++k) {
      d[k] /= len;
      o[k] = (t.a[k] + t.b[k] + t.c[k]) / 3.0;
    }
    const double smin = 1e-9 * std::sqrt(len);
    double s = std::numeric_limits<double>::infinity();
    for (int f : elems)
      if (f != e) s = std::min(s, ray_hit(triangle(mesh, f), o, d, smin));
    if (std::isfinite(s)) cand.push_back({o[0] + 0.5 * s * d[0], o[1] + 0.5 * s * d[1], o[2] + 0.5 * s * d[2]});
  }

  return cand;
}

// Candidates by clearance, largest first.
std::vector<std::pair<double, std::size_t>> by_clearance(
    const MeshView& mesh, const std::vector<int>& elems,
    const std::vector<std::array<double, 3>>& cand) {
  std::vector<std::pair<double, std::size_t>> order;
  for (std::size_t i = 0; i < cand.size(); ++i)
    order.push_back({distance_to_surface(mesh, elems, cand[i].data()), i});
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& p, const auto& q) { return p.first > q.first; });
  return order;
}

}  // namespace

std::vector<InteriorPoint> interior_candidates(const MeshView& mesh, const std::vector<int>& elems,
                                               int rays) {
  const std::vector<std::array<double, 3>> cand = candidates(mesh, elems, rays);
  std::vector<InteriorPoint> inside;
  for (const auto& [clear, i] : by_clearance(mesh, elems, cand)) {
    if (!(clear > 0.0)) break;
    if (winding_number(mesh, elems, cand[i].data()) > 0.5) {
      InteriorPoint p;
      p.found = true;
      for (int k = 0; k < 3; ++k) p.x[k] = cand[i][k];
      p.clearance = clear;
      inside.push_back(p);
    }
  }
  return inside;
}

InteriorPoint interior_point(const MeshView& mesh, const std::vector<int>& elems, int rays) {
  InteriorPoint best;
  const std::vector<std::array<double, 3>> cand = candidates(mesh, elems, rays);
  // Largest clearance first; the first one inside wins.
  for (const auto& [clear, i] : by_clearance(mesh, elems, cand)) {
    if (!(clear > 0.0)) break;
    if (winding_number(mesh, elems, cand[i].data()) > 0.5) {
      best.found = true;
      for (int k = 0; k < 3; ++k) best.x[k] = cand[i][k];
      best.clearance = clear;
      return best;
    }
  }
  return best;
}

}  // namespace velmora
