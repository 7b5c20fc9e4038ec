#include "toolkit/model_io.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <system_error>

#include "bem/mesh.hpp"
#include "common/listread.hpp"
#include "fmm/tree_needs.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {

std::string real_text(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  // Integral values get a point so that the field reads as a real.
  if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".";
  return s;
}

void write_input_dat(std::ostream& os, const Model& model) {
  const SurfaceMesh& m = model.mesh;
  os << model.title.substr(0, 78) << '\n' << model.subtitle.substr(0, 78) << '\n';
  os << ' ' << m.nelem << ' ' << m.nnode << ' ' << real_text(model.mu)
     << "   number of elements, number of nodes, viscosity mu\n";
  os << " Nodes: number, x, y, z\n";
  for (int k = 1; k <= m.nnode; ++k)
    os << ' ' << k << ' ' << real_text(m.x(k, 1)) << ' ' << real_text(m.x(k, 2)) << ' '
       << real_text(m.x(k, 3)) << '\n';
  os << " Elements: number, nodes n1 n2 n3, codes c1 c2 c3 (2: traction on the fluid prescribed,"
        " 1: velocity), values v1 v2 v3\n";
  for (int e = 1; e <= m.nelem; ++e) {
    os << ' ' << e << ' ' << m.node(e, 1) << ' ' << m.node(e, 2) << ' ' << m.node(e, 3);
    for (int k = 1; k <= 3; ++k) os << ' ' << (model.code(e, k) == 2.0 ? "2" : "1");
    for (int k = 1; k <= 3; ++k) os << ' ' << real_text(model.value(e, k));
    os << '\n';
  }
  write_model_notes(os, model.notes);
}

Model read_input_dat(const std::string& path) {
  ListReader in;
  if (!in.open(path)) throw ToolError("cannot open " + path);
  Model model;
  model.title = in.title({"title"});
  model.subtitle = in.title({"second title line"});
  auto rstrip = [](std::string& s) { s.erase(s.find_last_not_of(' ') + 1); };
  rstrip(model.title);
  rstrip(model.subtitle);
  int nelem = 0, nnode = 0;
  in.begin();
  in.get(nelem, {"nelem"});
  in.get(nnode, {"nnode"});
  in.get(model.mu, {"mu"});
  in.end();
  if (nelem < 1 || nnode < 1)
    throw ToolError(path + ": nelem and nnode must be at least 1 (read " + std::to_string(nelem) +
                    " and " + std::to_string(nnode) + ")");
  SurfaceMesh& m = model.mesh;
  m.nelem = nelem;
  m.nnode = nnode;
  m.xnode.assign(3 * static_cast<std::size_t>(nnode), 0.0);
  m.ielem.assign(3 * static_cast<std::size_t>(nelem), 0);
  model.bc.assign(6 * static_cast<std::size_t>(nelem), 0.0);
  std::vector<char> filled(std::max(nnode, nelem) + 1, 0);

  in.skip({"the heading before the nodes"});
  for (int i = 1; i <= nnode; ++i) {
    int k = 0;
    double x[3] = {0, 0, 0};
    in.begin();
    in.get(k, {"node number of node record", &i});
    in.get(x[0], {"x of node", &k});
    in.get(x[1], {"y of node", &k});
    in.get(x[2], {"z of node", &k});
    in.end();
    if (k < 1 || k > nnode)
      throw ToolError(path + ", line " + std::to_string(in.line()) + ": node number " +
                      std::to_string(k) + " outside 1.." + std::to_string(nnode));
    if (filled[k])
      throw ToolError(path + ", line " + std::to_string(in.line()) + ": node " + std::to_string(k) +
                      " given twice");
    filled[k] = 1;
    for (int c = 0; c < 3; ++c) m.xnode[(k - 1) + static_cast<std::size_t>(c) * nnode] = x[c];
  }
  std::fill(filled.begin(), filled.end(), 0);

  in.skip({"the heading before the elements"});
  for (int i = 1; i <= nelem; ++i) {
    int e = 0, n[3] = {0, 0, 0};
    double b[6] = {0, 0, 0, 0, 0, 0};
    static const char* const kWhat[6] = {"code 1 of element",  "code 2 of element",
                                         "code 3 of element",  "value 1 of element",
                                         "value 2 of element", "value 3 of element"};
    in.begin();
    in.get(e, {"element number of element record", &i});
    in.get(n[0], {"node 1 of element", &e});
    in.get(n[1], {"node 2 of element", &e});
    in.get(n[2], {"node 3 of element", &e});
    for (int j = 0; j < 6; ++j) in.get(b[j], {kWhat[j], &e});
    in.end();
    const std::string where = path + ", line " + std::to_string(in.line()) + ": ";
    if (e < 1 || e > nelem)
      throw ToolError(where + "element number " + std::to_string(e) + " outside 1.." +
                      std::to_string(nelem));
    if (filled[e]) throw ToolError(where + "element " + std::to_string(e) + " given twice");
    filled[e] = 1;
    for (int v = 0; v < 3; ++v) {
      if (n[v] < 1 || n[v] > nnode)
        throw ToolError(where + "node " + std::to_string(n[v]) + " of element " +
                        std::to_string(e) + " outside 1.." + std::to_string(nnode));
      m.ielem[(e - 1) + static_cast<std::size_t>(v) * nelem] = n[v];
    }
    for (int j = 0; j < 6; ++j) model.bc[(e - 1) + static_cast<std::size_t>(j) * nelem] = b[j];
  }
  in.close();
  model.notes = read_model_notes_file(path);
  return model;
}

TreeSize tree_size(const SurfaceMesh& m, int minlev, int maxl, double cubfac, int depth_limit) {
  std::vector<double> xcol(3 * static_cast<std::size_t>(m.nelem));
  collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
  for (const double v : xcol)
    if (!std::isfinite(v)) throw ToolError("a collocation point is not a number");
  const TreeNeeds t =
      count_tree(m.nelem, m.nnode, m.xnode.data(), xcol.data(), cubfac, minlev, maxl, depth_limit);
  if (!t.separated)
    throw ToolError("more than maxl = " + std::to_string(maxl) +
                    " elements cannot be separated by the octree (coincident collocation "
                    "points?)");
  return {t.ncell, t.nlev};
}

int nexp_for_tolerance(double tol) {
  // With the closed bodies' null space taken out GMRES reaches any tolerance
  // at any nexp (bench/nexp_floor.sh: 1e-11 or below after 60 to 90
  // iterations for nexp 6 to 16), so nexp only sets how far the product
  // stands from the exact one.  The far-field error in the backward error's
  // own metric, |A_p x - A x|_2 / |A x|_2 against the dense product (two unit
  // spheres 3 apart, 2 x 1,280 and 2 x 5,120 elements, maxl 40; the larger
  // of the right-hand side and a later product):
  //   nexp  8: 1.4e-4   10: 3.3e-5   12: 9.0e-6   14: 2.7e-6   16: 9.4e-7
  //   18: 3.7e-7   20: 1.8e-7
  // (gmsh-doc's chamfered cube, sharp edges, falls more slowly: 1.6e-4,
  // 3.9e-5, 1.3e-5, 7.6e-6, 3.4e-6, 1.6e-6, 1.1e-6).  The choice is the
  // cheapest nexp whose error on the spheres lies below the tolerance, so a
  // solve to tol is not a solve of the far-field noise.
  if (tol >= 2e-4) return 8;
  if (tol >= 5e-5) return 10;
  if (tol >= 1e-5) return 12;
  if (tol >= 3e-6) return 14;
  if (tol >= 1e-6) return 16;
  return 20;
}

Controls suggest_controls(const SurfaceMesh& m) {
  Controls c;
  const double ext = extent(m);
  if (ext > 0) {
    // Two significant digits are plenty for a tolerance.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2g", 1e-8 * ext);
    c.snaptol = std::strtod(buf, nullptr);
  }
  const TreeSize t = tree_size(m, c.minlev, c.maxl, c.cubfac);
  c.maxdep = std::max(12, t.nlev + 2);
  c.maxcel = t.ncell + t.ncell / 4 + 50;
  c.nexp = nexp_for_tolerance(c.tol);
  // A restart costs the Krylov space built so far: a sphere of 81,920
  // triangles takes 39 iterations with M = 30 and 36 with 60; gmsh-doc's
  // two helical tubes (pipe.geo, 2,808 triangles, tubes 0.1 across with
  // elements as large) 500 with 30, 221 with 60 and 169 with 100.  60
  // vectors cost 1.4 kB per element, small beside the near-field blocks.
  c.M = 60;
  return c;
}

void write_input_cnd(std::ostream& os, const Controls& c) {
  os << ' ' << real_text(c.snaptol) << ' ' << c.M << ' ' << c.unused1 << ' ' << c.unused2 << ' '
     << c.iprec << ' ' << c.ncycle << ' ' << real_text(c.tol)
     << "   snaptol, M (GMRES restart), two unused, iprec, ncycle, tol\n";
  os << ' ' << c.maxdep << ' ' << c.minlev << ' ' << c.maxl << ' ' << c.maxcel << ' ' << c.nexp
     << ' ' << c.ngauss << ' ' << real_text(c.cubfac)
     << "   maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac\n";
}

void write_file_replacing(const std::string& path,
                          const std::function<void(std::ostream&)>& write) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp);
    if (!f) throw ToolError("cannot write " + path);
    // A writer that throws leaves no temporary file behind.
    try {
      write(f);
    } catch (...) {
      f.close();
      std::remove(tmp.c_str());
      throw;
    }
    if (!f.flush()) {
      f.close();
      std::remove(tmp.c_str());
      throw ToolError("cannot write " + path);
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::remove(tmp.c_str());
    throw ToolError("cannot write " + path + ": " + ec.message());
  }
}

Controls controls_of(const RunScalars& s) {
  Controls c;
  c.snaptol = s.snaptol;
  c.M = s.m;
  c.unused1 = s.unused1;
  c.unused2 = s.unused2;
  c.iprec = s.iprec;
  c.ncycle = s.ncycle;
  c.tol = s.tol;
  c.maxdep = s.maxdep;
  c.minlev = s.minlev;
  c.maxl = s.maxl;
  c.maxcel = s.maxcel;
  c.nexp = s.nexp;
  c.ngauss = s.ngauss;
  c.cubfac = s.cubfac;
  return c;
}

}  // namespace velmora::tools
