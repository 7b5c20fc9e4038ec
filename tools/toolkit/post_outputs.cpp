#include "toolkit/post_outputs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace velmora::tools {
namespace {

// 17 significant digits: the double reads back exactly.
std::string num(double v, const char* not_a_number) {
  if (!std::isfinite(v)) return not_a_number;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string jnum(double v) {
  return num(v, "null");
}

std::string jvec(const Vec3& v) {
  std::string s(1, '[');
  s += jnum(v[0]);
  s += ", ";
  s += jnum(v[1]);
  s += ", ";
  s += jnum(v[2]);
  s += ']';
  return s;
}

// JSON string: quotes, backslashes and control characters escaped.
std::string jstr(const std::string& s) {
  std::string o = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      o += '\\';
      o += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else {
      o += ch;
    }
  }
  return o + "\"";
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string cstr(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string o = "\"";
  for (const char c : s) o += c == '"' ? std::string("\"\"") : std::string(1, c);
  return o + "\"";
}

std::string cvec(const Vec3& v) {
  return num(v[0], "nan") + "," + num(v[1], "nan") + "," + num(v[2], "nan");
}

}  // namespace

std::vector<GroupLoad> group_loads(const SurfaceMesh& m, const ModelNotes& notes, const double* t,
                                   const Vec3& point) {
  std::vector<GroupLoad> out;
  std::vector<char> in(m.nelem + 1, 0);
  for (const ModelNotes::Group& g : notes.groups) {
    GroupLoad L;
    L.tag = g.tag;
    L.name = g.name;
    std::fill(in.begin(), in.end(), 0);
    for (const auto& [a, b] : g.ranges)
      for (int e = std::max(a, 1); e <= std::min(b, m.nelem); ++e) in[e] = 1;
    for (int e = 1; e <= m.nelem; ++e) {
      if (!in[e]) continue;
      const ElementFacet f = element_facet(m, e);
      const double* te = t + 3 * static_cast<std::size_t>(e - 1);
      Vec3 r;
      for (int c = 0; c < 3; ++c) {
        L.force[c] -= f.area * te[c];
        r[c] = f.centroid[c] - point[c];
      }
      L.torque[0] -= f.area * (r[1] * te[2] - r[2] * te[1]);
      L.torque[1] -= f.area * (r[2] * te[0] - r[0] * te[2]);
      L.torque[2] -= f.area * (r[0] * te[1] - r[1] * te[0]);
      L.area += f.area;
      ++L.nelem;
    }
    out.push_back(L);
  }
  return out;
}

void write_loads_json(std::ostream& os, const PostReport& r) {
  const Loads& L = *r.loads;
  int nelem = 0;
  double area = 0;
  os << "{\n  \"model\": " << jstr(r.model) << ",\n  \"results\": " << jstr(r.results)
     << ",\n  \"mu\": " << jnum(r.mu) << ",\n  \"about\": " << jvec(r.about)
     << ",\n  \"bodies\": [";
  for (std::size_t b = 0; b < L.bodies.size(); ++b) {
    const BodyLoad& B = L.bodies[b];
    nelem += B.nelem;
    area += B.area;
    os << (b ? ",\n    " : "\n    ") << "{\"body\": " << b + 1 << ", \"elements\": " << B.nelem
       << ", \"closed\": " << (r.geometry[b].closed ? "true" : "false")
       << ", \"area\": " << jnum(B.area) << ", \"centroid\": " << jvec(B.centroid)
       << ", \"force\": " << jvec(B.force) << ", \"torque\": " << jvec(B.torque_point)
       << ", \"torque_about_centroid\": " << jvec(B.torque_centroid) << "}";
  }
  os << (L.bodies.empty() ? "]" : "\n  ]") << ",\n  \"groups\": [";
  for (std::size_t g = 0; g < r.groups.size(); ++g) {
    const GroupLoad& G = r.groups[g];
    os << (g ? ",\n    " : "\n    ") << "{\"tag\": " << G.tag << ", \"name\": " << jstr(G.name)
       << ", \"elements\": " << G.nelem << ", \"area\": " << jnum(G.area)
       << ", \"force\": " << jvec(G.force) << ", \"torque\": " << jvec(G.torque) << "}";
  }
  os << (r.groups.empty() ? "]" : "\n  ]") << ",\n  \"total\": {\"elements\": " << nelem
     << ", \"area\": " << jnum(area) << ", \"force\": " << jvec(L.force)
     << ", \"torque\": " << jvec(L.torque_point) << "}\n}\n";
}

void write_loads_csv(std::ostream& os, const PostReport& r) {
  const Loads& L = *r.loads;
  os << "kind,id,name,elements,area,fx,fy,fz,lx,ly,lz\n";
  int nelem = 0;
  double area = 0;
  for (std::size_t b = 0; b < L.bodies.size(); ++b) {
    const BodyLoad& B = L.bodies[b];
    nelem += B.nelem;
    area += B.area;
    os << "body," << b + 1 << ",," << B.nelem << ',' << num(B.area, "nan") << ',' << cvec(B.force)
       << ',' << cvec(B.torque_point) << '\n';
  }
  for (const GroupLoad& G : r.groups)
    os << "group," << G.tag << ',' << cstr(G.name) << ',' << G.nelem << ',' << num(G.area, "nan")
       << ',' << cvec(G.force) << ',' << cvec(G.torque) << '\n';
  os << "total,,," << nelem << ',' << num(area, "nan") << ',' << cvec(L.force) << ','
     << cvec(L.torque_point) << '\n';
}

void write_surface_csv(std::ostream& os, const SurfaceMesh& m, const Bodies& bodies,
                       const std::vector<int>& group, const double* u, const double* t) {
  os << "element,x,y,z,area,nx,ny,nz,u,v,w,tx,ty,tz,body,group\n";
  for (int e = 1; e <= m.nelem; ++e) {
    const ElementFacet f = element_facet(m, e);
    const std::size_t j = 3 * static_cast<std::size_t>(e - 1);
    os << e << ',' << cvec(f.centroid) << ',' << num(f.area, "nan") << ',' << cvec(f.normal) << ','
       << cvec({u[j], u[j + 1], u[j + 2]}) << ',' << cvec({t[j], t[j + 1], t[j + 2]}) << ','
       << bodies.body[e - 1] << ',' << (e - 1 < static_cast<int>(group.size()) ? group[e - 1] : 0)
       << '\n';
  }
}

}  // namespace velmora::tools
