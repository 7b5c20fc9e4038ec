#include "toolkit/loads.hpp"

#include <cmath>
#include <cstdio>
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

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void data_array(std::ostream& os, const char* type, const char* name, int ncomp,
                const std::vector<double>& v) {
  os << "        <DataArray type=\"" << type << "\" Name=\"" << name << "\" NumberOfComponents=\""
     << ncomp << "\" format=\"ascii\">\n";
  for (std::size_t i = 0; i < v.size(); i += ncomp) {
    os << "         ";
    for (int c = 0; c < ncomp; ++c) os << ' ' << num(v[i + c]);
    os << '\n';
  }
  os << "        </DataArray>\n";
}

}  // namespace

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
               const double* t) {
  const std::size_t ne = m.nelem, nn = m.nnode;
  std::vector<double> pts(3 * nn), cu(3 * ne), ct(3 * ne), cn(3 * ne), ca(ne), cb(ne);
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

  os << "<?xml version=\"1.0\"?>\n"
     << "<VTKFile type=\"UnstructuredGrid\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
     << "  <UnstructuredGrid>\n"
     << "    <Piece NumberOfPoints=\"" << nn << "\" NumberOfCells=\"" << ne << "\">\n"
     << "      <PointData Vectors=\"velocity\">\n";
  // Tractions under both names of the one convention: output.dat's t = sigma n
  // with n into the body is the traction the body exerts on the fluid; the
  // fluid's traction on the body (output.plt's t_x, t_y, t_z) is -t.
  std::vector<double> pt_body(pt.size()), ct_body(ct.size());
  for (std::size_t i = 0; i < pt.size(); ++i) pt_body[i] = -pt[i];
  for (std::size_t i = 0; i < ct.size(); ++i) ct_body[i] = -ct[i];
  data_array(os, "Float64", "velocity", 3, pu);
  if (t) {
    data_array(os, "Float64", "traction_on_fluid", 3, pt);
    data_array(os, "Float64", "traction_on_body", 3, pt_body);
  }
  os << "      </PointData>\n"
     << "      <CellData Scalars=\"area\" Vectors=\"velocity\">\n";
  data_array(os, "Float64", "velocity", 3, cu);
  if (t) {
    data_array(os, "Float64", "traction_on_fluid", 3, ct);
    data_array(os, "Float64", "traction_on_body", 3, ct_body);
  }
  data_array(os, "Float64", "normal", 3, cn);
  data_array(os, "Float64", "area", 1, ca);
  os << "        <DataArray type=\"Int32\" Name=\"body\" NumberOfComponents=\"1\" "
        "format=\"ascii\">\n";
  for (std::size_t e = 0; e < ne; ++e) os << "          " << static_cast<int>(cb[e]) << '\n';
  os << "        </DataArray>\n"
     << "      </CellData>\n"
     << "      <Points>\n";
  data_array(os, "Float64", "Points", 3, pts);
  os << "      </Points>\n"
     << "      <Cells>\n"
     << "        <DataArray type=\"Int64\" Name=\"connectivity\" format=\"ascii\">\n";
  for (std::size_t e = 0; e < ne; ++e) {
    os << "         ";
    for (int v = 1; v <= 3; ++v) os << ' ' << m.node(static_cast<int>(e) + 1, v) - 1;
    os << '\n';
  }
  os << "        </DataArray>\n"
     << "        <DataArray type=\"Int64\" Name=\"offsets\" format=\"ascii\">\n";
  for (std::size_t e = 0; e < ne; ++e) os << "          " << 3 * (e + 1) << '\n';
  os << "        </DataArray>\n"
     << "        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n";
  for (std::size_t e = 0; e < ne; ++e) os << "          5\n";  // VTK_TRIANGLE
  os << "        </DataArray>\n"
     << "      </Cells>\n"
     << "    </Piece>\n"
     << "  </UnstructuredGrid>\n"
     << "</VTKFile>\n";
}

}  // namespace velmora::tools
