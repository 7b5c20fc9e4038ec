#include "bem/pressure_constant.hpp"

#include <cmath>
#include <cstdint>

#include "bem/gauss.hpp"
#include "bem/interior_point.hpp"

namespace velmora {
namespace {

struct SourceRule {
  double gpt[48], gwt[16];
  SourceRule() { gauss_rule(7, gpt, gwt); }
};

const SourceRule& rule() {
  static const SourceRule r;
  return r;
}

// Adds w u_s(y) to i and w sigma_s(y) n to j.
void add_point(const double* y, const double* x0, const double* n, double mu, double w, double* i,
               double* j) {
  const double r[3] = {y[0] - x0[0], y[1] - x0[1], y[2] - x0[2]};
  const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
  const double rr = std::sqrt(r2);
  const double r3 = r2 * rr;
  const double rn = r[0] * n[0] + r[1] * n[1] + r[2] * n[2];
  for (int k = 0; k < 3; ++k) {
    i[k] += w * r[k] / r3;
    j[k] += w * 2.0 * mu * (n[k] / r3 - 3.0 * r[k] * rn / (r3 * r2));
  }
}

// Integrals over the flat triangle (a, b, c) of area `area` and unit normal n.
void integrate(const double* a, const double* b, const double* c, double area, const double* n,
               const double* x0, double mu, int depth, double* i, double* j) {
  double g[3], diam2 = 0.0;
  for (int k = 0; k < 3; ++k) g[k] = (a[k] + b[k] + c[k]) / 3.0;
  auto d2 = [](const double* p, const double* q) {
    return (p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) + (p[2] - q[2]) * (p[2] - q[2]);
  };
  diam2 = std::max(d2(a, b), std::max(d2(b, c), d2(c, a)));
  const double dist2 = d2(g, x0);
  if (dist2 > 400.0 * diam2) {
    add_point(g, x0, n, mu, area, i, j);
    return;
  }
  if (16.0 * diam2 > dist2 && depth < 10) {
    double ab[3], bc[3], ca[3];
    for (int k = 0; k < 3; ++k) {
      ab[k] = 0.5 * (a[k] + b[k]);
      bc[k] = 0.5 * (b[k] + c[k]);
      ca[k] = 0.5 * (c[k] + a[k]);
    }
    const double q = 0.25 * area;
    integrate(a, ab, ca, q, n, x0, mu, depth + 1, i, j);
    integrate(ab, b, bc, q, n, x0, mu, depth + 1, i, j);
    integrate(ca, bc, c, q, n, x0, mu, depth + 1, i, j);
    integrate(ab, bc, ca, q, n, x0, mu, depth + 1, i, j);
    return;
  }
  const SourceRule& r = rule();
  for (int p = 0; p < 7; ++p) {
    double y[3];
    for (int k = 0; k < 3; ++k)
      y[k] = r.gpt[3 * p] * a[k] + r.gpt[3 * p + 1] * b[k] + r.gpt[3 * p + 2] * c[k];
    add_point(y, x0, n, mu, area * r.gwt[p], i, j);
  }
}

}  // namespace

namespace {

// The two integrals of element e with its geometry g already formed.
void element_integrals(const MeshView& mesh, int e, const ElementGeometry& g, const double* x0,
                       double mu, double* i_e, double* j_e) {
  double v[3][3];
  for (int p = 0; p < 3; ++p)
    for (int c = 0; c < 3; ++c) v[p][c] = mesh.x(mesh.node(e, p + 1), c + 1);
  for (int k = 0; k < 3; ++k) i_e[k] = j_e[k] = 0.0;
  integrate(v[0], v[1], v[2], g.area, g.normal, x0, mu, 0, i_e, j_e);
}

}  // namespace

void source_integrals(const MeshView& mesh, int e, const double x0[3], double mu, double i_e[3],
                      double j_e[3]) {
  element_integrals(mesh, e, element_geometry(mesh, e), x0, mu, i_e, j_e);
}

std::vector<PressureConstant> fix_pressure_constants(const MeshView& mesh, const Bodies& bodies,
                                                     const ClosedBodyNullSpace& ns, double mu,
                                                     const double* u, double* t) {
  const std::vector<int>& treated = ns.treated();
  const int nt = static_cast<int>(treated.size());
  std::vector<PressureConstant> out(static_cast<std::size_t>(nt));
  if (nt == 0) return out;
  const int ne = mesh.nelem;

  // n on the carried components of element e (zero elsewhere).
  auto carried_normal = [&](int e, double* n) {
    const ElementGeometry g = element_geometry(mesh, e);
    for (int k = 1; k <= 3; ++k) n[k - 1] = ns.carries(e, k) ? g.normal[k - 1] : 0.0;
    return g;
  };
  std::vector<std::vector<int>> elems(static_cast<std::size_t>(nt));
  for (int e = 1; e <= ne; ++e) {
    const int slot = ns.index_of_body(bodies.of_element[e - 1]);
    if (slot >= 0) elems[slot].push_back(e);
  }
  auto add_cn = [&](int slot) {
    for (int e : elems[slot]) {
      double n[3];
      carried_normal(e, n);
      for (int k = 0; k < 3; ++k) t[3 * static_cast<std::size_t>(e - 1) + k] += out[slot].c * n[k];
    }
  };
  // Zero area-mean normal traction (bodies.hpp), on one treated body.
  auto mean_zero = [&](int slot) {
    std::vector<char> only(static_cast<std::size_t>(bodies.count), 0);
    only[treated[slot]] = 1;
    out[slot].c = -remove_normal_mean(mesh, bodies, t, &only)[treated[slot]];
  };

  for (int s = 0; s < nt; ++s) {
    out[s].container = signed_volume_of(mesh, elems[s]) > 0.0;
  }
  for (int s = 0; s < nt; ++s)
    if (out[s].container) mean_zero(s);

  // Bodies in exterior flow: the source condition, each body's sums over
  // the elements in order (bodies in parallel, same bits for any count).
  // The element geometry is formed once for all bodies.
  std::vector<ElementGeometry> geo(static_cast<std::size_t>(ne));
  for (int e = 1; e <= ne; ++e) geo[e - 1] = element_geometry(mesh, e);
  std::vector<double> c(static_cast<std::size_t>(nt), 0.0);
  std::vector<char> found(static_cast<std::size_t>(nt), 1);
#pragma omp parallel for schedule(dynamic, 1)
  for (int s = 0; s < nt; ++s) {
    if (out[s].container) continue;
    const InteriorPoint ip = interior_point(mesh, elems[s]);
    if (!ip.found) {
      found[s] = 0;
      continue;
    }
    for (int k = 0; k < 3; ++k) out[s].source[k] = ip.x[k];
    double rhs = 0.0, flux = 0.0;
    for (int e = 1; e <= ne; ++e) {
      double ie[3], je[3];
      element_integrals(mesh, e, geo[e - 1], ip.x, mu, ie, je);
      const std::size_t j = 3 * static_cast<std::size_t>(e - 1);
      const int b = bodies.of_element[e - 1];
      if (bodies.closed[b]) rhs += u[j] * je[0] + u[j + 1] * je[1] + u[j + 2] * je[2];
      rhs -= t[j] * ie[0] + t[j + 1] * ie[1] + t[j + 2] * ie[2];
      if (ns.index_of_body(b) == s)
        for (int k = 0; k < 3; ++k)
          if (ns.carries(e, k + 1)) flux += geo[e - 1].normal[k] * ie[k];
    }
    c[s] = flux != 0.0 ? rhs / flux : 0.0;
  }
  for (int s = 0; s < nt; ++s) {
    if (out[s].container) continue;
    if (!found[s]) {
      out[s].source_found = false;
      mean_zero(s);
      continue;
    }
    out[s].c = c[s];
    add_cn(s);
  }
  return out;
}

}  // namespace velmora
