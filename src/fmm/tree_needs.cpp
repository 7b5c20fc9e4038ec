#include "fmm/tree_needs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/units.hpp"
#include "fmm/mktree.hpp"

namespace velmora {

TreeNeeds count_tree(int nelem, int nnode, const double* xnode, const double* xcol,
                     double cubfac, int minlev, int maxl, int level_limit) {
  const long ne = nelem;
  // Root cube over the bounding box of the nodes, as MKTREE forms it.
  double root_centre[3];
  const double root = root_cube(nnode, xnode, cubfac, root_centre);

  struct Cell {
    double centre[3];
    std::vector<int> elems;  // zero-based
  };
  std::vector<Cell> level(1);
  std::copy(root_centre, root_centre + 3, level[0].centre);
  level[0].elems.resize(static_cast<std::size_t>(nelem));
  for (int e = 0; e < nelem; ++e) level[0].elems[e] = e;

  TreeNeeds t;
  t.ncell = 1;
  for (int lev = 0; !level.empty(); ++lev) {
    const double quarter = root / std::ldexp(1.0, lev) * 0.25;
    std::vector<Cell> next;
    for (const Cell& cell : level) {
      if (!(static_cast<int>(cell.elems.size()) - 1 >= maxl || lev < minlev)) continue;
      if (lev >= level_limit) {
        t.separated = false;
        return t;
      }
      std::vector<int> part[8];
      for (const int e : cell.elems) {
        const double p[3] = {xcol[e], xcol[e + ne], xcol[e + 2 * ne]};
        part[ibrnch(p, cell.centre) - 1].push_back(e);
      }
      for (int oct = 1; oct <= 8; ++oct) {
        if (part[oct - 1].empty()) continue;
        Cell child;
        for (int k = 1; k <= 3; ++k)
          child.centre[k - 1] = cell.centre[k - 1] + quarter * octant_sign(oct, k);
        child.elems.swap(part[oct - 1]);
        next.push_back(std::move(child));
        t.nlev = lev + 1;
        ++t.ncell;
      }
    }
    level.swap(next);
  }
  return t;
}

namespace {

std::string g3(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

}  // namespace

void report_tree_needs(const MeshView& mesh, int maxdep, int minlev, int maxcel, int maxl,
                       double cubfac) {
  // Deep enough for any extent of doubles: beyond about 2100 halvings the
  // cells of a finite root cube have no size left, and points that are not
  // apart by then never will be (MKTREE then stops on maxcel or maxdep).
  constexpr int kLevelLimit = 2100;
  const TreeNeeds t = count_tree(mesh.nelem, mesh.nnode, mesh.xnode, mesh.xcol, cubfac, minlev,
                                 maxl, kLevelLimit);
  if (t.separated && t.ncell <= maxcel && t.nlev <= maxdep) return;
  Units& io = units();
  if (!t.separated)
    io.write_error(" This mesh needs more than " + std::to_string(kLevelLimit) +
                   " tree levels: more than maxl = " + std::to_string(maxl) +
                   " collocation points coincide");
  else
    io.write_error(" This mesh needs a tree of " + std::to_string(t.ncell) + " cells on " +
                   std::to_string(t.nlev) + " levels: maxcel " + std::to_string(t.ncell) +
                   " or more and maxdep " + std::to_string(t.nlev) + " or more (given " +
                   std::to_string(maxcel) + " and " + std::to_string(maxdep) + ")");

  // Extent of the nodes against the median longest edge of the elements.
  double lo[3], hi[3];
  for (int c = 1; c <= 3; ++c) {
    lo[c - 1] = hi[c - 1] = mesh.x(1, c);
    for (int k = 2; k <= mesh.nnode; ++k) {
      lo[c - 1] = std::min(lo[c - 1], mesh.x(k, c));
      hi[c - 1] = std::max(hi[c - 1], mesh.x(k, c));
    }
  }
  const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  std::vector<double> edge(static_cast<std::size_t>(mesh.nelem));
  for (int e = 1; e <= mesh.nelem; ++e) {
    double longest = 0.0;
    for (int v = 1; v <= 3; ++v) {
      const int a = mesh.node(e, v), b = mesh.node(e, v % 3 + 1);
      double d2 = 0.0;
      for (int c = 1; c <= 3; ++c) d2 += (mesh.x(b, c) - mesh.x(a, c)) * (mesh.x(b, c) - mesh.x(a, c));
      longest = std::max(longest, std::sqrt(d2));
    }
    edge[e - 1] = longest;
  }
  std::nth_element(edge.begin(), edge.begin() + edge.size() / 2, edge.end());
  const double h = edge[edge.size() / 2];
  if (!(extent > 1e3 * h * std::sqrt(static_cast<double>(mesh.nelem)))) return;

  // The node farthest from the coordinate-wise median of the nodes.
  double med[3];
  std::vector<double> coord(static_cast<std::size_t>(mesh.nnode));
  for (int c = 1; c <= 3; ++c) {
    for (int k = 1; k <= mesh.nnode; ++k) coord[k - 1] = mesh.x(k, c);
    std::nth_element(coord.begin(), coord.begin() + coord.size() / 2, coord.end());
    med[c - 1] = coord[coord.size() / 2];
  }
  int far = 1;
  double far_d = -1.0;
  for (int k = 1; k <= mesh.nnode; ++k) {
    double d = 0.0;
    for (int c = 1; c <= 3; ++c) d = std::max(d, std::fabs(mesh.x(k, c) - med[c - 1]));
    if (d > far_d) far_d = d, far = k;
  }
  io.write_error(" Hint: the mesh spans " + g3(extent) + " but its elements are about " + g3(h) +
                 " in size (median longest edge); node " + std::to_string(far) + " at (" +
                 g3(mesh.x(far, 1)) + ", " + g3(mesh.x(far, 2)) + ", " + g3(mesh.x(far, 3)) +
                 ") lies far from the others");
}

}  // namespace velmora
