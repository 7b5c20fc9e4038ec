#include "bem/shapes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>

#include "common/constants.hpp"

namespace velmora {
namespace {

using Point = std::array<double, 3>;
using Tri = std::array<int, 3>;  // zero-based node indices

Point normalised(const Point& p) {
  const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  return {p[0] / r, p[1] / r, p[2] / r};
}

void orient_outward(const std::vector<Point>& pts, std::vector<Tri>& tris);

// Unit icosphere as zero-based points and triangles with outward normals.
void unit_icosphere(int refinements, std::vector<Point>& pts, std::vector<Tri>& tris) {
  const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
  pts = {{-1, phi, 0},  {1, phi, 0},  {-1, -phi, 0}, {1, -phi, 0}, {0, -1, phi},  {0, 1, phi},
         {0, -1, -phi}, {0, 1, -phi}, {phi, 0, -1},  {phi, 0, 1},  {-phi, 0, -1}, {-phi, 0, 1}};
  for (auto& p : pts) p = normalised(p);
  tris = {{0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
          {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
          {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  for (int level = 0; level < refinements; ++level) {
    std::map<std::pair<int, int>, int> mid;
    auto midpoint = [&](int a, int b) {
      const auto key = std::minmax(a, b);
      const auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      const Point& pa = pts[a];
      const Point& pb = pts[b];
      pts.push_back(normalised({pa[0] + pb[0], pa[1] + pb[1], pa[2] + pb[2]}));
      const int k = static_cast<int>(pts.size()) - 1;
      mid.emplace(key, k);
      return k;
    };
    std::vector<Tri> next;
    next.reserve(tris.size() * 4);
    for (const Tri& t : tris) {
      const int ab = midpoint(t[0], t[1]), bc = midpoint(t[1], t[2]), ca = midpoint(t[2], t[0]);
      next.push_back({t[0], ab, ca});
      next.push_back({t[1], bc, ab});
      next.push_back({t[2], ca, bc});
      next.push_back({ab, bc, ca});
    }
    tris.swap(next);
  }
  orient_outward(pts, tris);
}

// Geodesic unit sphere of frequency k: every icosahedron face split into k^2
// triangles on the lattice of points (wa A + wb B + wc C) / k, wa + wb + wc = k,
// projected onto the sphere.  A lattice point is named by its nonzero
// (corner, weight) pairs in increasing corner order, and its coordinates are
// summed in that order, so the faces that share an edge or a corner share
// the node and its coordinates bit for bit.
void unit_geodesic_sphere(int k, std::vector<Point>& pts, std::vector<Tri>& tris) {
  std::vector<Point> base;
  std::vector<Tri> faces;
  unit_icosphere(0, base, faces);
  pts.clear();
  tris.clear();
  std::map<std::array<int, 6>, int> index;
  auto node = [&](const Tri& f, int wa, int wb, int wc) {
    std::array<std::pair<int, int>, 3> cw{{{f[0], wa}, {f[1], wb}, {f[2], wc}}};
    std::sort(cw.begin(), cw.end());
    std::array<int, 6> key{-1, 0, -1, 0, -1, 0};
    int n = 0;
    for (const auto& [corner, w] : cw)
      if (w != 0) key[2 * n] = corner, key[2 * n + 1] = w, ++n;
    const auto [it, fresh] = index.emplace(key, static_cast<int>(pts.size()));
    if (fresh) {
      Point q{0, 0, 0};
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) q[c] += key[2 * i + 1] * base[key[2 * i]][c];
      pts.push_back(normalised(q));
    }
    return it->second;
  };
  for (const Tri& f : faces) {
    // Lattice point (i, j): weights (k - i - j, i, j) on the corners (f0, f1, f2).
    auto at = [&](int i, int j) { return node(f, k - i - j, i, j); };
    for (int i = 0; i < k; ++i)
      for (int j = 0; i + j < k; ++j) {
        tris.push_back({at(i, j), at(i + 1, j), at(i, j + 1)});
        if (i + j + 1 < k) tris.push_back({at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
      }
  }
  orient_outward(pts, tris);
}

// Makes every normal point outward (away from the centre).
void orient_outward(const std::vector<Point>& pts, std::vector<Tri>& tris) {
  for (Tri& t : tris) {
    const Point &a = pts[t[0]], &b = pts[t[1]], &c = pts[t[2]];
    const Point d{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, g{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const Point k{d[1] * g[2] - d[2] * g[1], d[2] * g[0] - d[0] * g[2], d[0] * g[1] - d[1] * g[0]};
    if (k[0] * (a[0] + b[0] + c[0]) + k[1] * (a[1] + b[1] + c[1]) + k[2] * (a[2] + b[2] + c[2]) < 0)
      std::swap(t[1], t[2]);
  }
}

SurfaceMesh build(const std::vector<Point>& pts, const std::vector<Tri>& tris, const Point& scale,
                  const Point& centre) {
  SurfaceMesh m;
  m.nnode = static_cast<int>(pts.size());
  m.nelem = static_cast<int>(tris.size());
  m.xnode.resize(3 * pts.size());
  m.ielem.resize(3 * tris.size());
  for (std::size_t k = 0; k < pts.size(); ++k)
    for (int c = 0; c < 3; ++c) m.xnode[k + c * pts.size()] = centre[c] + scale[c] * pts[k][c];
  // Inward orientation: the outward triangles with their last two nodes exchanged.
  for (std::size_t e = 0; e < tris.size(); ++e) {
    m.ielem[e] = tris[e][0] + 1;
    m.ielem[e + tris.size()] = tris[e][2] + 1;
    m.ielem[e + 2 * tris.size()] = tris[e][1] + 1;
  }
  return m;
}

// A sphere of `radius` about `centre` (origin when null) from the unit
// sphere that make(pts, tris) builds.
template <class Make>
SurfaceMesh sphere_from(Make make, double radius, const double* centre) {
  std::vector<Point> pts;
  std::vector<Tri> tris;
  make(pts, tris);
  const Point c = centre ? Point{centre[0], centre[1], centre[2]} : Point{0, 0, 0};
  return build(pts, tris, {radius, radius, radius}, c);
}

}  // namespace

SurfaceMesh icosphere(int refinements, double radius, const double* centre) {
  return sphere_from([&](auto& p, auto& t) { unit_icosphere(refinements, p, t); }, radius, centre);
}

SurfaceMesh geodesic_sphere(int frequency, double radius, const double* centre) {
  return sphere_from([&](auto& p, auto& t) { unit_geodesic_sphere(frequency, p, t); }, radius,
                     centre);
}

SurfaceMesh ellipsoid(int refinements, double a, double b, double c) {
  std::vector<Point> pts;
  std::vector<Tri> tris;
  unit_icosphere(refinements, pts, tris);
  return build(pts, tris, {a, b, c}, {0, 0, 0});
}

SurfaceMesh ellipsoid(int refinements, double a, double b, double c, const double* centre) {
  std::vector<Point> pts;
  std::vector<Tri> tris;
  unit_icosphere(refinements, pts, tris);
  return build(pts, tris, {a, b, c}, {centre[0], centre[1], centre[2]});
}

SurfaceMesh torus(int nmajor, int nminor, double major_radius, double minor_radius,
                  const double* centre) {
  const double R = major_radius, r = minor_radius;
  const Point c0 = centre ? Point{centre[0], centre[1], centre[2]} : Point{0, 0, 0};
  SurfaceMesh m;
  m.nnode = nmajor * nminor;
  m.nelem = 2 * nmajor * nminor;
  m.xnode.resize(3 * static_cast<std::size_t>(m.nnode));
  m.ielem.resize(3 * static_cast<std::size_t>(m.nelem));
  // Positions relative to the centre, kept for the orientation test below.
  std::vector<Point> rel(m.nnode);
  auto id = [&](int i, int j) { return (i % nmajor) * nminor + (j % nminor); };
  for (int i = 0; i < nmajor; ++i) {
    const double u = 2.0 * kPi * i / nmajor;
    for (int j = 0; j < nminor; ++j) {
      const double v = 2.0 * kPi * j / nminor;
      const double rho = R + r * std::cos(v);
      rel[id(i, j)] = {rho * std::cos(u), rho * std::sin(u), r * std::sin(v)};
    }
  }
  for (int k = 0; k < m.nnode; ++k)
    for (int c = 0; c < 3; ++c)
      m.xnode[k + static_cast<std::size_t>(c) * m.nnode] = c0[c] + rel[k][c];
  int e = 0;
  auto add = [&](int p, int q, int s) {
    // Inward: k = (q - p) x (s - p) must point from the surface towards the
    // tube's centre line, i.e. against the outward direction from the
    // nearest point of the centre circle to the element's centroid.
    const Point &a = rel[p], &b = rel[q], &cc = rel[s];
    const Point g{(a[0] + b[0] + cc[0]) / 3, (a[1] + b[1] + cc[1]) / 3, (a[2] + b[2] + cc[2]) / 3};
    const double phi = std::atan2(g[1], g[0]);
    const Point out{g[0] - R * std::cos(phi), g[1] - R * std::sin(phi), g[2]};
    const Point d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const Point h{cc[0] - a[0], cc[1] - a[1], cc[2] - a[2]};
    const Point k{d[1] * h[2] - d[2] * h[1], d[2] * h[0] - d[0] * h[2], d[0] * h[1] - d[1] * h[0]};
    if (k[0] * out[0] + k[1] * out[1] + k[2] * out[2] > 0) std::swap(q, s);
    m.ielem[e] = p + 1;
    m.ielem[e + m.nelem] = q + 1;
    m.ielem[e + 2 * static_cast<std::size_t>(m.nelem)] = s + 1;
    ++e;
  };
  for (int i = 0; i < nmajor; ++i)
    for (int j = 0; j < nminor; ++j) {
      const int p00 = id(i, j), p10 = id(i + 1, j), p11 = id(i + 1, j + 1), p01 = id(i, j + 1);
      if ((i + j) % 2 == 0) {
        add(p00, p10, p11);
        add(p00, p11, p01);
      } else {
        add(p00, p10, p01);
        add(p10, p11, p01);
      }
    }
  return m;
}

SurfaceMesh spheres(int refinements, const std::vector<SphereSpec>& list) {
  SurfaceMesh all;
  for (const SphereSpec& s : list) append_mesh(all, icosphere(refinements, s.radius, s.centre));
  return all;
}

void append_mesh(SurfaceMesh& a, const SurfaceMesh& b) {
  SurfaceMesh m;
  m.nnode = a.nnode + b.nnode;
  m.nelem = a.nelem + b.nelem;
  m.xnode.resize(3 * static_cast<std::size_t>(m.nnode));
  m.ielem.resize(3 * static_cast<std::size_t>(m.nelem));
  for (int c = 1; c <= 3; ++c) {
    for (int k = 1; k <= a.nnode; ++k) m.xnode[(k - 1) + (c - 1) * m.nnode] = a.x(k, c);
    for (int k = 1; k <= b.nnode; ++k) m.xnode[(a.nnode + k - 1) + (c - 1) * m.nnode] = b.x(k, c);
    for (int e = 1; e <= a.nelem; ++e) m.ielem[(e - 1) + (c - 1) * m.nelem] = a.node(e, c);
    for (int e = 1; e <= b.nelem; ++e)
      m.ielem[(a.nelem + e - 1) + (c - 1) * m.nelem] = b.node(e, c) + a.nnode;
  }
  a = std::move(m);
}

double signed_volume(const SurfaceMesh& m) {
  double v = 0.0;
  for (int e = 1; e <= m.nelem; ++e) {
    const int p = m.node(e, 1), q = m.node(e, 2), r = m.node(e, 3);
    const double ax = m.x(p, 1), ay = m.x(p, 2), az = m.x(p, 3);
    const double bx = m.x(q, 1), by = m.x(q, 2), bz = m.x(q, 3);
    const double cx = m.x(r, 1), cy = m.x(r, 2), cz = m.x(r, 3);
    v += ax * (by * cz - bz * cy) + ay * (bz * cx - bx * cz) + az * (bx * cy - by * cx);
  }
  return v / 6.0;
}

}  // namespace velmora
