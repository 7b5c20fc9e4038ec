#include "toolkit/loads.hpp"

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>

namespace velmora::tools {
namespace {

struct Facet {
  Vec3 centroid;
  Vec3 k;  // (x2 - x1) x (x3 - x1)
  double area;
};

Facet facet(const SurfaceMesh& m, int e) {
  Facet f{};
  double d[3], g[3];
  for (int c = 1; c <= 3; ++c) {
    const double a = m.x(m.node(e, 1), c), b = m.x(m.node(e, 2), c), s = m.x(m.node(e, 3), c);
    f.centroid[c - 1] = (a + b + s) / 3.0;
    d[c - 1] = b - a;
    g[c - 1] = s - a;
  }
  f.k = {d[1] * g[2] - d[2] * g[1], d[2] * g[0] - d[0] * g[2], d[0] * g[1] - d[1] * g[0]};
  f.area = 0.5 * std::sqrt(f.k[0] * f.k[0] + f.k[1] * f.k[1] + f.k[2] * f.k[2]);
  return f;
}

// acc -= a * (r x t)
void sub_moment(Vec3& acc, double a, const Vec3& r, const double* t) {
  acc[0] -= a * (r[1] * t[2] - r[2] * t[1]);
  acc[1] -= a * (r[2] * t[0] - r[0] * t[2]);
  acc[2] -= a * (r[0] * t[1] - r[1] * t[0]);
}

}  // namespace

ElementFacet element_facet(const SurfaceMesh& m, int e) {
  const Facet f = facet(m, e);
  ElementFacet r;
  r.centroid = f.centroid;
  r.area = f.area;
  for (int c = 0; c < 3; ++c) r.normal[c] = f.area > 0 ? f.k[c] / (2.0 * f.area) : 0.0;
  return r;
}

std::vector<double> element_areas(const SurfaceMesh& m) {
  std::vector<double> a(m.nelem);
  for (int e = 1; e <= m.nelem; ++e) a[e - 1] = facet(m, e).area;
  return a;
}

Loads compute_loads(const SurfaceMesh& m, const Bodies& bodies, const double* tvec,
                    const Vec3& point) {
  Loads L;
  L.point = point;
  L.bodies.resize(bodies.count);
  const std::vector<BodyGeometry> geo = body_geometry(m, bodies);
  for (int b = 0; b < bodies.count; ++b) {
    L.bodies[b].nelem = geo[b].nelem;
    L.bodies[b].area = geo[b].area;
    L.bodies[b].centroid = geo[b].centroid;
  }
  for (int e = 1; e <= m.nelem; ++e) {
    BodyLoad& B = L.bodies[bodies.body[e - 1] - 1];
    const Facet f = facet(m, e);
    const double* t = tvec + 3 * static_cast<std::size_t>(e - 1);
    Vec3 rc, rp;
    for (int c = 0; c < 3; ++c) {
      B.force[c] -= f.area * t[c];
      L.force[c] -= f.area * t[c];
      rc[c] = f.centroid[c] - B.centroid[c];
      rp[c] = f.centroid[c] - point[c];
    }
    sub_moment(B.torque_centroid, f.area, rc, t);
    sub_moment(B.torque_point, f.area, rp, t);
    sub_moment(L.torque_point, f.area, rp, t);
  }
  return L;
}

void write_vtu(std::ostream& os, const SurfaceMesh& m, const Bodies& bodies, const double* u,
               const double* t, const VtuOptions& options) {
  const std::size_t ne = m.nelem, nn = m.nnode;
  std::vector<double> pts(3 * nn), cu(3 * ne), ct(3 * ne), cn(3 * ne), ca(ne);
  std::vector<std::int64_t> cb(ne);
  std::vector<double> pu(3 * nn, 0.0), pt(3 * nn, 0.0);
  std::vector<int> cnt(nn, 0);
  for (std::size_t k = 0; k < nn; ++k)
    for (int c = 0; c < 3; ++c) pts[3 * k + c] = m.x(static_cast<int>(k) + 1, c + 1);
  for (std::size_t e = 0; e < ne; ++e) {
    const Facet f = facet(m, static_cast<int>(e) + 1);
    const double kn = 2.0 * f.area;
    for (int c = 0; c < 3; ++c) {
      cu[3 * e + c] = u[3 * e + c];
      ct[3 * e + c] = t ? t[3 * e + c] : 0.0;
      cn[3 * e + c] = kn > 0 ? f.k[c] / kn : 0.0;
    }
    ca[e] = f.area;
    cb[e] = bodies.body.empty() ? 1 : bodies.body[e];
    for (int v = 1; v <= 3; ++v) {
      const std::size_t n = m.node(static_cast<int>(e) + 1, v) - 1;
      ++cnt[n];
      for (int c = 0; c < 3; ++c) {
        pu[3 * n + c] += u[3 * e + c];
        pt[3 * n + c] += t ? t[3 * e + c] : 0.0;
      }
    }
  }
  for (std::size_t n = 0; n < nn; ++n)
    if (cnt[n] > 0)
      for (int c = 0; c < 3; ++c) {
        pu[3 * n + c] /= cnt[n];
        pt[3 * n + c] /= cnt[n];
      }
  std::vector<std::int64_t> conn(3 * ne), offsets(ne), types(ne, 5);  // 5: VTK_TRIANGLE
  for (std::size_t e = 0; e < ne; ++e) {
    for (int v = 1; v <= 3; ++v) conn[3 * e + v - 1] = m.node(static_cast<int>(e) + 1, v) - 1;
    offsets[e] = static_cast<std::int64_t>(3 * (e + 1));
  }

  VtkXmlWriter w(os, options.encoding);
  w.begin("UnstructuredGrid");
  w.text("  <UnstructuredGrid>\n    <Piece NumberOfPoints=\"" + std::to_string(nn) +
         "\" NumberOfCells=\"" + std::to_string(ne) +
         "\">\n      <PointData Vectors=\"velocity\">\n");
  // Tractions under both names of the one convention: output.dat's t = sigma n
  // with n into the body is the traction the body exerts on the fluid; the
  // fluid's traction on the body (output.plt's t_x, t_y, t_z) is -t.
  std::vector<double> pt_body(pt.size()), ct_body(ct.size());
  for (std::size_t i = 0; i < pt.size(); ++i) pt_body[i] = -pt[i];
  for (std::size_t i = 0; i < ct.size(); ++i) ct_body[i] = -ct[i];
  w.floats("velocity", 3, pu);
  if (t) {
    w.floats("traction_on_fluid", 3, pt);
    w.floats("traction_on_body", 3, pt_body);
  }
  w.text("      </PointData>\n      <CellData Scalars=\"area\" Vectors=\"velocity\">\n");
  w.floats("velocity", 3, cu);
  if (t) {
    w.floats("traction_on_fluid", 3, ct);
    w.floats("traction_on_body", 3, ct_body);
  }
  w.floats("normal", 3, cn);
  w.floats("area", 1, ca);
  w.ints("Int32", "body", 1, cb);
  if (options.group) {
    std::vector<std::int64_t> g(ne, 0);
    for (std::size_t e = 0; e < ne && e < options.group->size(); ++e) g[e] = (*options.group)[e];
    w.ints("Int32", "group", 1, g);
  }
  w.text("      </CellData>\n      <Points>\n");
  w.floats("Points", 3, pts);
  w.text("      </Points>\n      <Cells>\n");
  w.ints("Int64", "connectivity", 1, conn, 3);
  w.ints("Int64", "offsets", 1, offsets);
  w.ints("UInt8", "types", 1, types);
  w.text("      </Cells>\n    </Piece>\n  </UnstructuredGrid>\n");
  w.finish();
}

}  // namespace velmora::tools
