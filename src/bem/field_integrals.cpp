#include "bem/field_integrals.hpp"

#include <algorithm>
#include <cmath>

#include "bem/gauss.hpp"
#include "bem/triint_math.hpp"
#include "common/constants.hpp"

namespace velmora {

FieldScratch::FieldScratch()
    : reals(kTriintReals * kFieldChunk),
      ints(kTriintInts * kFieldChunk),
      x(kFieldChunk),
      y(kFieldChunk),
      z(kFieldChunk),
      rows(6 * static_cast<std::size_t>(kFieldChunk)),
      elem(kFieldChunk, 0) {
  carve_triint_arrays(reals.data(), ints.data(), kFieldChunk, coef, work);
}

void element_velocity_add(const MeshView& mesh, double mu, double snaptol, int e,
                          const double u[3], const double t[3], int n, const double* px,
                          const double* py, const double* pz, FieldScratch& s, double* vel,
                          double* wind) {
  if (n <= 0) return;
  const int np = triint_padded(n);
  for (int i = 0; i < np; ++i) {
    const int k = std::min(i, n - 1);
    s.x[i] = px[k];
    s.y[i] = py[k];
    s.z[i] = pz[k];
  }
  TriintTargets tg;
  tg.n = n;
  tg.elem = s.elem.data();
  tg.x = s.x.data();
  tg.y = s.y.data();
  tg.z = s.z.data();
  // Rows of the three vertices, then of the edges 1-2, 2-3, 3-1 (each edge
  // from its lower-numbered node, as TRIINT forms it).
  int node[3];
  double pv[3][3];
  TriintSourceRows rows;
  for (int v = 0; v < 3; ++v) {
    node[v] = mesh.node(e, v + 1);
    for (int c = 0; c < 3; ++c) pv[v][c] = mesh.x(node[v], c + 1);
    double* r = s.rows.data() + static_cast<std::size_t>(v) * kFieldChunk;
    triint_node_row(tg, pv[v], r);
    rows.r[v] = r;
  }
  for (int j = 0; j < 3; ++j) {
    int lo = j, hi = (j + 1) % 3;
    if (node[lo] > node[hi]) std::swap(lo, hi);
    double* f = s.rows.data() + static_cast<std::size_t>(3 + j) * kFieldChunk;
    triint_edge_row(tg, triint_edge_length(pv[lo], pv[hi]), rows.r[lo], rows.r[hi], f);
    rows.f[j] = f;
  }
  double normal[3];
  const NearCoef& c = s.coef;
  triint_shared(mesh, mu, snaptol, tg, rows, c, normal, e, TriintParts::All);
  for (int k = 0; k < n; ++k) {
    // U t - T u, component by component (U symmetric: 11 12 13 22 23 33).
    double* v = vel + 3 * static_cast<std::size_t>(k);
    v[0] += c.u[0][k] * t[0] + c.u[1][k] * t[1] + c.u[2][k] * t[2] -
            (c.t[0][k] * u[0] + c.t[1][k] * u[1] + c.t[2][k] * u[2]);
    v[1] += c.u[1][k] * t[0] + c.u[3][k] * t[1] + c.u[4][k] * t[2] -
            (c.t[3][k] * u[0] + c.t[4][k] * u[1] + c.t[5][k] * u[2]);
    v[2] += c.u[2][k] * t[0] + c.u[4][k] * t[1] + c.u[5][k] * t[2] -
            (c.t[6][k] * u[0] + c.t[7][k] * u[1] + c.t[8][k] * u[2]);
    if (wind != nullptr) wind[k] += c.t[0][k];
  }
}

namespace {

struct Rules {
  double gpt16[48], gwt16[16], gpt7[21], gwt7[7];
  Rules() {
    gauss_rule(16, gpt16, gwt16);
    gauss_rule(7, gpt7, gwt7);
  }
};

const Rules& rules() {
  static const Rules r;
  return r;
}

struct PressureTerms {
  const double* x;
  double t[3], u[3], n[3];
  double un;  // u . n
  double cs;  // 1 / (4 pi)
  double cd;  // mu / (2 pi)
};

// Pressure kernel at y.
inline double pressure_kernel(const PressureTerms& k, const double y[3]) {
  const double r0 = k.x[0] - y[0], r1 = k.x[1] - y[1], r2 = k.x[2] - y[2];
  const double rr = r0 * r0 + r1 * r1 + r2 * r2;
  const double ir = 1.0 / std::sqrt(rr);
  const double ir3 = ir * ir * ir;
  const double ir5 = ir3 * ir * ir;
  const double rt = r0 * k.t[0] + r1 * k.t[1] + r2 * k.t[2];
  const double ru = r0 * k.u[0] + r1 * k.u[1] + r2 * k.u[2];
  const double rn = r0 * k.n[0] + r1 * k.n[1] + r2 * k.n[2];
  return k.cs * rt * ir3 - k.cd * (3.0 * ru * rn * ir5 - k.un * ir3);
}

double pressure_piece(const PressureTerms& k, const double a[3], const double b[3],
                      const double c[3], double area, int depth) {
  double g[3], rad2 = 0.0, d2 = 0.0;
  for (int i = 0; i < 3; ++i) g[i] = (a[i] + b[i] + c[i]) / 3.0;
  for (const double* v : {a, b, c}) {
    double s = 0.0;
    for (int i = 0; i < 3; ++i) s += (v[i] - g[i]) * (v[i] - g[i]);
    rad2 = std::max(rad2, s);
  }
  for (int i = 0; i < 3; ++i) d2 += (k.x[i] - g[i]) * (k.x[i] - g[i]);
  if (d2 > kPressureRatio * kPressureRatio * rad2 || depth >= kPressureDepth) {
    const Rules& r = rules();
    const bool far = d2 > kPressureFar * kPressureFar * rad2;
    const int nq = far ? 7 : 16;
    const double* gpt = far ? r.gpt7 : r.gpt16;
    const double* gwt = far ? r.gwt7 : r.gwt16;
    double sum = 0.0;
    for (int q = 0; q < nq; ++q) {
      const double* xi = gpt + 3 * q;
      double y[3];
      for (int i = 0; i < 3; ++i) y[i] = xi[0] * a[i] + xi[1] * b[i] + xi[2] * c[i];
      sum += gwt[q] * pressure_kernel(k, y);
    }
    return area * sum;
  }
  double ab[3], bc[3], ca[3];
  for (int i = 0; i < 3; ++i) {
    ab[i] = 0.5 * (a[i] + b[i]);
    bc[i] = 0.5 * (b[i] + c[i]);
    ca[i] = 0.5 * (c[i] + a[i]);
  }
  const double q = 0.25 * area;
  return pressure_piece(k, a, ab, ca, q, depth + 1) + pressure_piece(k, ab, b, bc, q, depth + 1) +
         pressure_piece(k, ca, bc, c, q, depth + 1) + pressure_piece(k, ab, bc, ca, q, depth + 1);
}

// The terms of element e's pressure integral, its vertices and area.
struct PressureElement {
  PressureTerms k;
  double v[3][3];
  double area;
  PressureElement(const MeshView& mesh, double mu, int e, const double u[3], const double t[3]) {
    const ElementGeometry geo = element_geometry(mesh, e);
    for (int i = 0; i < 3; ++i) {
      k.t[i] = t[i];
      k.u[i] = u[i];
      k.n[i] = geo.normal[i];
    }
    k.un = u[0] * k.n[0] + u[1] * k.n[1] + u[2] * k.n[2];
    k.cs = 1.0 / (4.0 * kPi);
    k.cd = mu / (2.0 * kPi);
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 3; ++i) v[j][i] = mesh.x(mesh.node(e, j + 1), i + 1);
    area = geo.area;
  }
  double at(const double x[3]) {
    k.x = x;
    return pressure_piece(k, v[0], v[1], v[2], area, 0);
  }
};

}  // namespace

double element_pressure(const MeshView& mesh, double mu, int e, const double u[3],
                        const double t[3], const double x[3]) {
  PressureElement pe(mesh, mu, e, u, t);
  return pe.at(x);
}

void element_pressure_add(const MeshView& mesh, double mu, int e, const double u[3],
                          const double t[3], int m, const int* idx, const double* px,
                          const double* py, const double* pz, double* pres) {
  PressureElement pe(mesh, mu, e, u, t);
  for (int j = 0; j < m; ++j) {
    const int k = idx[j];
    const double x[3] = {px[k], py[k], pz[k]};
    pres[k] += pe.at(x);
  }
}

void element_distance2_min(const MeshView& mesh, int e, int n, const double* px,
                           const double* py, const double* pz, double bound, double* d2) {
  double g[3], rad2 = 0.0;
  for (int i = 0; i < 3; ++i) g[i] = mesh.col(e, i + 1);
  for (int v = 1; v <= 3; ++v) {
    double s = 0.0;
    for (int i = 0; i < 3; ++i) s += (mesh.x(mesh.node(e, v), i + 1) - g[i]) * (mesh.x(mesh.node(e, v), i + 1) - g[i]);
    rad2 = std::max(rad2, s);
  }
  const double reach = std::sqrt(rad2) + std::sqrt(bound);
  for (int k = 0; k < n; ++k) {
    const double dx = px[k] - g[0], dy = py[k] - g[1], dz = pz[k] - g[2];
    if (dx * dx + dy * dy + dz * dz > reach * reach) continue;
    const double x[3] = {px[k], py[k], pz[k]};
    d2[k] = std::min(d2[k], element_distance2(mesh, e, x));
  }
}

double element_distance2(const MeshView& mesh, int e, const double x[3]) {
  // Closest point of the triangle abc to x by the regions of its vertices,
  // edges and face (barycentric tests).
  double a[3], b[3], c[3];
  for (int i = 0; i < 3; ++i) {
    a[i] = mesh.x(mesh.node(e, 1), i + 1);
    b[i] = mesh.x(mesh.node(e, 2), i + 1);
    c[i] = mesh.x(mesh.node(e, 3), i + 1);
  }
  auto dot = [](const double* p, const double* q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; };
  double ab[3], ac[3], ap[3], q[3];
  for (int i = 0; i < 3; ++i) {
    ab[i] = b[i] - a[i];
    ac[i] = c[i] - a[i];
    ap[i] = x[i] - a[i];
  }
  auto dist2 = [&](const double* p) {
    double s = 0.0;
    for (int i = 0; i < 3; ++i) s += (x[i] - p[i]) * (x[i] - p[i]);
    return s;
  };
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return dist2(a);
  double bp[3];
  for (int i = 0; i < 3; ++i) bp[i] = x[i] - b[i];
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return dist2(b);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
    const double v = d1 / (d1 - d3);
    for (int i = 0; i < 3; ++i) q[i] = a[i] + v * ab[i];
    return dist2(q);
  }
  double cp[3];
  for (int i = 0; i < 3; ++i) cp[i] = x[i] - c[i];
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return dist2(c);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
    const double w = d2 / (d2 - d6);
    for (int i = 0; i < 3; ++i) q[i] = a[i] + w * ac[i];
    return dist2(q);
  }
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    for (int i = 0; i < 3; ++i) q[i] = b[i] + w * (c[i] - b[i]);
    return dist2(q);
  }
  const double den = 1.0 / (va + vb + vc);
  const double v = vb * den, w = vc * den;
  for (int i = 0; i < 3; ++i) q[i] = a[i] + ab[i] * v + ac[i] * w;
  return dist2(q);
}

double fluid_winding(const MeshView& mesh) {
  // About the first node, so that the mesh's size, not its place, sets the rounding.
  double v = 0.0;
  const int r = mesh.nelem > 0 ? mesh.node(1, 1) : 0;
  for (int e = 1; e <= mesh.nelem; ++e) {
    double a[3], b[3], c[3];
    for (int i = 0; i < 3; ++i) {
      const double o = mesh.x(r, i + 1);
      a[i] = mesh.x(mesh.node(e, 1), i + 1) - o;
      b[i] = mesh.x(mesh.node(e, 2), i + 1) - o;
      c[i] = mesh.x(mesh.node(e, 3), i + 1) - o;
    }
    v += a[0] * (b[1] * c[2] - b[2] * c[1]) + a[1] * (b[2] * c[0] - b[0] * c[2]) +
         a[2] * (b[0] * c[1] - b[1] * c[0]);
  }
  return v > 0.0 ? -1.0 : 0.0;
}

void field_direct(const MeshView& mesh, double mu, double snaptol, const FieldDensities& d,
                  int n, const double* xyz, double* vel, double* pres, int* inside) {
  FieldScratch s;
  const double fluid_w = fluid_winding(mesh);
  for (int k = 0; k < n; ++k) {
    const double* x = xyz + 3 * static_cast<std::size_t>(k);
    double* v = vel + 3 * static_cast<std::size_t>(k);
    v[0] = v[1] = v[2] = 0.0;
    pres[k] = 0.0;
    double w = 0.0, dmin2 = INFINITY, p = 0.0;
    for (int e = 1; e <= mesh.nelem; ++e) {
      const double* u = d.u + 3 * static_cast<std::size_t>(e - 1);
      const double* t = d.t + 3 * static_cast<std::size_t>(e - 1);
      element_velocity_add(mesh, mu, snaptol, e, u, t, 1, x, x + 1, x + 2, s, v, &w);
      dmin2 = std::min(dmin2, element_distance2(mesh, e, x));
    }
    // (The plain path measures every distance; the fast one skips the
    // elements whose bounding sphere lies beyond snaptol.)
    inside[k] = (outside_fluid(w, fluid_w) || dmin2 <= snaptol * snaptol) ? 1 : 0;
    if (inside[k] != 0) {
      v[0] = v[1] = v[2] = 0.0;
      continue;
    }
    for (int e = 1; e <= mesh.nelem; ++e)
      p += element_pressure(mesh, mu, e, d.u + 3 * static_cast<std::size_t>(e - 1),
                            d.t + 3 * static_cast<std::size_t>(e - 1), x);
    pres[k] = p;
  }
}

}  // namespace velmora
