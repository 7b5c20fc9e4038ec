#include "toolkit/mesh_gaps.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace velmora::tools {
namespace {

using P3 = std::array<double, 3>;

double dist(const P3& a, const P3& b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// Key of cell (i, j, k); 21 bits per index.
std::uint64_t cell_key(long i, long j, long k) {
  const auto u = [](long v) { return static_cast<std::uint64_t>(v) & 0x1fffffu; };
  return (u(i) << 42) | (u(j) << 21) | u(k);
}

P3 sub(const P3& a, const P3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
double dot(const P3& a, const P3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Distance from p to the triangle (a, b, c): the closest point found by the
// region of p in the triangle's plane (vertex, edge or face regions).
double point_triangle(const P3& p, const P3& a, const P3& b, const P3& c) {
  const P3 ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0 && d2 <= 0) return dist(p, a);
  const P3 bp = sub(p, b);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0 && d4 <= d3) return dist(p, b);
  const double vc = d1 * d4 - d3 * d2;
  auto at = [&](const P3& o, const P3& d, double t) {
    return dist(p, P3{o[0] + t * d[0], o[1] + t * d[1], o[2] + t * d[2]});
  };
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return at(a, ab, d1 / (d1 - d3));
  const P3 cp = sub(p, c);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0 && d5 <= d6) return dist(p, c);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return at(a, ac, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0)
    return at(b, sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6)));
  const double den = 1.0 / (va + vb + vc), v = vb * den, w = vc * den;
  return dist(p, P3{a[0] + ab[0] * v + ac[0] * w, a[1] + ab[1] * v + ac[1] * w,
                    a[2] + ab[2] * v + ac[2] * w});
}

}  // namespace

Gap narrowest_gap(const SurfaceMesh& m, const Bodies& bodies) {
  Gap gap;
  if (bodies.count < 2 || m.nelem == 0) return gap;
  const int n = m.nelem;
  std::vector<P3> c(n);
  std::vector<double> size(n);
  P3 lo{1e300, 1e300, 1e300};
  for (int e = 1; e <= n; ++e) {
    P3 x[3];
    for (int v = 0; v < 3; ++v)
      for (int k = 0; k < 3; ++k) x[v][k] = m.x(m.node(e, v + 1), k + 1);
    for (int k = 0; k < 3; ++k) {
      c[e - 1][k] = (x[0][k] + x[1][k] + x[2][k]) / 3.0;
      lo[k] = std::min(lo[k], c[e - 1][k]);
    }
    size[e - 1] = std::max({dist(x[0], x[1]), dist(x[1], x[2]), dist(x[2], x[0])});
  }
  std::vector<double> sorted = size;
  std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
  double h = sorted[n / 2];
  if (!(h > 0)) return gap;
  // Keep the cell indices within 21 bits.
  double span = 0;
  for (int e = 0; e < n; ++e)
    for (int k = 0; k < 3; ++k) span = std::max(span, c[e][k] - lo[k]);
  h = std::max(h, span / 1e6);

  auto index = [&](double v, int k) { return static_cast<long>(std::floor((v - lo[k]) / h)); };
  std::unordered_map<std::uint64_t, std::vector<int>> cells;
  cells.reserve(2 * static_cast<std::size_t>(n));
  for (int e = 0; e < n; ++e)
    cells[cell_key(index(c[e][0], 0), index(c[e][1], 1), index(c[e][2], 2))].push_back(e);

  auto vertex = [&](int e, int v) {
    return P3{m.x(m.node(e + 1, v), 1), m.x(m.node(e + 1, v), 2), m.x(m.node(e + 1, v), 3)};
  };
  // The distance of two elements, estimated from above by the distances of
  // each one's vertices and centroid to the other triangle (exact unless
  // the closest points lie inside an edge of each).
  auto element_distance = [&](int e, int f) {
    double d = 1e300;
    for (int pass = 0; pass < 2; ++pass) {
      const int a = pass ? f : e, b = pass ? e : f;
      const P3 t1 = vertex(b, 1), t2 = vertex(b, 2), t3 = vertex(b, 3);
      d = std::min(d, point_triangle(c[a], t1, t2, t3));
      for (int v = 1; v <= 3; ++v) d = std::min(d, point_triangle(vertex(a, v), t1, t2, t3));
    }
    return d;
  };
  auto consider = [&](int e, int f) {
    if (bodies.body[e] == bodies.body[f]) return;
    const double s = std::max(size[e], size[f]);
    if (dist(c[e], c[f]) >= s) return;
    const double d = element_distance(e, f);
    if (gap.found && d >= gap.distance) return;
    gap.found = true;
    gap.distance = d;
    gap.size = s;
    const bool order = bodies.body[e] < bodies.body[f];
    gap.body_a = bodies.body[order ? e : f];
    gap.body_b = bodies.body[order ? f : e];
    gap.elem_a = (order ? e : f) + 1;
    gap.elem_b = (order ? f : e) + 1;
  };

  // Each element looks for the other bodies' centroids within its own
  // size; a pair closer than the larger size of the two is then seen from
  // the element with that size.
  for (int e = 0; e < n; ++e) {
    const double r = size[e];
    long a[3], b[3];
    double cells_in_box = 1;
    for (int k = 0; k < 3; ++k) {
      a[k] = index(c[e][k] - r, k);
      b[k] = index(c[e][k] + r, k);
      cells_in_box *= static_cast<double>(b[k] - a[k] + 1);
    }
    if (cells_in_box > static_cast<double>(cells.size())) {
      // A large element: fewer occupied cells than cells in its reach.
      for (const auto& [key, list] : cells)
        for (int f : list) consider(e, f);
      continue;
    }
    for (long i = a[0]; i <= b[0]; ++i)
      for (long j = a[1]; j <= b[1]; ++j)
        for (long k = a[2]; k <= b[2]; ++k) {
          const auto it = cells.find(cell_key(i, j, k));
          if (it == cells.end()) continue;
          for (int f : it->second) consider(e, f);
        }
  }
  return gap;
}

}  // namespace velmora::tools
