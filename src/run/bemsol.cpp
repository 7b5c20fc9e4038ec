#include "run/bemsol.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "common/array.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "run/registry.hpp"

namespace velmora {
namespace {

[[noreturn]] void bad_record(const ListReader& dat, int line, const std::string& text) {
  fatal_stop(dat.name() + ", line " + std::to_string(line) + ": " + text);
}

}  // namespace

void read_mesh(Block& a, ListReader& dat) {
  const int nelem = *a.var<int>(kVarNelem);
  const int nnode = *a.var<int>(kVarNnode);
  Mat<double> xnode(a.var<double>(kVarXnode), nnode);
  Mat<int> ielem(a.var<int>(kVarIelem), nelem);
  Mat<double> bc(a.var<double>(kVarBc), nelem);

  // Line of the record that gave each node / element (0: none yet).  Every
  // row must be given exactly once, so no row is left undefined.
  std::vector<int> given(static_cast<std::size_t>(nnode > nelem ? nnode : nelem) + 1, 0);

  dat.skip({"heading line before the nodes"});
  for (int rec = 1; rec <= nnode; ++rec) {
    int k = 0;
    double x[3] = {0.0, 0.0, 0.0};
    dat.begin();
    dat.get(k, {"number of node record", &rec});
    const int line = dat.line();
    dat.get(x[0], {"x of node", &k});
    dat.get(x[1], {"y of node", &k});
    dat.get(x[2], {"z of node", &k});
    dat.end();
    if (k < 1 || k > nnode)
      bad_record(dat, line,
                 "node record " + std::to_string(rec) + " gives node number " + std::to_string(k) +
                     ", outside 1.." + std::to_string(nnode));
    if (given[k] != 0)
      bad_record(dat, line,
                 "node " + std::to_string(k) + " is given a second time (first on line " +
                     std::to_string(given[k]) + "); each node needs exactly one record");
    given[k] = line;
    for (int c = 1; c <= 3; ++c) xnode(k, c) = x[c - 1];
  }

  std::fill(given.begin(), given.end(), 0);
  dat.skip({"heading line before the elements"});
  for (int rec = 1; rec <= nelem; ++rec) {
    int e = 0;
    int n[3] = {0, 0, 0};
    double code[3] = {0.0, 0.0, 0.0}, value[3] = {0.0, 0.0, 0.0};
    dat.begin();
    dat.get(e, {"number of element record", &rec});
    const int line = dat.line();
    dat.get(n[0], {"node 1 of element", &e});
    dat.get(n[1], {"node 2 of element", &e});
    dat.get(n[2], {"node 3 of element", &e});
    dat.get(code[0], {"code 1 of element", &e});
    dat.get(code[1], {"code 2 of element", &e});
    dat.get(code[2], {"code 3 of element", &e});
    dat.get(value[0], {"value 1 of element", &e});
    dat.get(value[1], {"value 2 of element", &e});
    dat.get(value[2], {"value 3 of element", &e});
    dat.end();
    if (e < 1 || e > nelem)
      bad_record(dat, line,
                 "element record " + std::to_string(rec) + " gives element number " +
                     std::to_string(e) + ", outside 1.." + std::to_string(nelem));
    if (given[e] != 0)
      bad_record(dat, line,
                 "element " + std::to_string(e) + " is given a second time (first on line " +
                     std::to_string(given[e]) + "); each element needs exactly one record");
    for (int v = 0; v < 3; ++v)
      if (n[v] < 1 || n[v] > nnode)
        bad_record(dat, line,
                   "node " + std::to_string(v + 1) + " of element " + std::to_string(e) + " is " +
                       std::to_string(n[v]) + ", outside 1.." + std::to_string(nnode));
    // |(x2 - x1) x (x3 - x1)| as the element geometry forms it: zero for
    // coincident or collinear nodes, where the normal does not exist.
    double d[3], g[3];
    for (int c = 1; c <= 3; ++c) {
      d[c - 1] = xnode(n[1], c) - xnode(n[0], c);
      g[c - 1] = xnode(n[2], c) - xnode(n[0], c);
    }
    const double k1 = d[1] * g[2] - d[2] * g[1];
    const double k2 = d[2] * g[0] - d[0] * g[2];
    const double k3 = d[0] * g[1] - d[1] * g[0];
    if (!(std::sqrt(k1 * k1 + k2 * k2 + k3 * k3) > 0.0))
      bad_record(dat, line,
                 "element " + std::to_string(e) + " has zero area (nodes " + std::to_string(n[0]) +
                     ", " + std::to_string(n[1]) + " and " + std::to_string(n[2]) +
                     " coincide or are collinear)");
    given[e] = line;
    for (int v = 1; v <= 3; ++v) {
      ielem(e, v) = n[v - 1];
      bc(e, v) = code[v - 1];
      bc(e, v + 3) = value[v - 1];
    }
  }
  dat.close();
}

void BEMSOL(Block& a, ListReader& dat) {
  const RunScalars s = load_scalars(a);

  // 1. Gauss rule.
  if (!gauss_rule(s.ngauss, a.var<double>(kVarGpt), a.var<double>(kVarGwt)))
    fatal_stop(fmt::list("Invalid parameter --> ngauss; stop"));

  // 2. Nodes and elements.
  read_mesh(a, dat);

  // 3. Collocation points: the element centroids.
  collocation_points(s.nelem, s.nnode, a.var<int>(kVarIelem), a.var<double>(kVarXnode),
                     a.var<double>(kVarXcol));

  // ------------------------------------------------------------------
  // To be added here: the tree of cells (MKTREE), the right-hand side
  // (UPWRD/DNWRD with mode 0), the GMRES solve with its reverse-
  // communication loop, the solver report and the results (output.dat
  // element records, total force, TECOUT).  Until then the driver returns
  // after the collocation points and the run ends with the timing line.
  // ------------------------------------------------------------------
}

}  // namespace velmora
