#include "bem/bodies.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>

namespace velmora {
namespace {

int root_of(std::vector<int>& parent, int i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

}  // namespace

Bodies find_bodies(const MeshView& mesh) {
  const int ne = mesh.nelem;
  // One entry per element side: lower node, higher node, element, and
  // whether the side runs from the lower node to the higher one.
  struct Side {
    int lo, hi, e;
    bool up;
  };
  std::vector<Side> sides;
  sides.reserve(3 * static_cast<std::size_t>(ne));
  for (int e = 1; e <= ne; ++e)
    for (int v = 1; v <= 3; ++v) {
      const int a = mesh.node(e, v), b = mesh.node(e, v % 3 + 1);
      sides.push_back({std::min(a, b), std::max(a, b), e, a < b});
    }
  std::sort(sides.begin(), sides.end(), [](const Side& p, const Side& q) {
    return p.lo != q.lo ? p.lo < q.lo : p.hi != q.hi ? p.hi < q.hi : p.e < q.e;
  });

  std::vector<int> parent(ne);
  std::iota(parent.begin(), parent.end(), 0);
  // Elements with an edge that is not shared by exactly two elements running
  // along it in opposite directions.
  std::vector<char> bad(ne, 0);
  for (std::size_t i = 0; i < sides.size();) {
    std::size_t j = i;
    while (j < sides.size() && sides[j].lo == sides[i].lo && sides[j].hi == sides[i].hi) ++j;
    for (std::size_t k = i + 1; k < j; ++k)
      parent[root_of(parent, sides[k].e - 1)] = root_of(parent, sides[i].e - 1);
    if (j - i != 2 || sides[i].up == sides[i + 1].up)
      for (std::size_t k = i; k < j; ++k) bad[sides[k].e - 1] = 1;
    i = j;
  }

  Bodies b;
  b.of_element.assign(ne, -1);
  std::vector<int> number(ne, -1);
  for (int e = 0; e < ne; ++e) {
    const int r = root_of(parent, e);
    if (number[r] < 0) {
      number[r] = b.count++;
      b.closed.push_back(1);
    }
    b.of_element[e] = number[r];
  }
  for (int e = 0; e < ne; ++e)
    if (bad[e]) b.closed[b.of_element[e]] = 0;
  return b;
}

std::vector<double> remove_normal_mean(const MeshView& mesh, const Bodies& bodies, double* t,
                                       const std::vector<char>* only) {
  const int ne = mesh.nelem;
  std::vector<char> eligible(bodies.closed.begin(), bodies.closed.end());
  if (only != nullptr)
    for (int b = 0; b < bodies.count; ++b) eligible[b] = eligible[b] && (*only)[b];
  for (int e = 1; e <= ne; ++e) {
    const ElementGeometry g = element_geometry(mesh, e);
    for (int k = 1; k <= 3; ++k)
      if (mesh.traction_prescribed(e, k) && std::fabs(g.normal[k - 1]) > kTangentialTraction)
        eligible[bodies.of_element[e - 1]] = 0;
  }

  std::vector<double> area(bodies.count, 0.0), flux(bodies.count, 0.0);
  for (int e = 1; e <= ne; ++e) {
    const int k = bodies.of_element[e - 1];
    if (!eligible[k]) continue;
    const ElementGeometry g = element_geometry(mesh, e);
    const double* te = t + 3 * static_cast<std::int64_t>(e - 1);
    area[k] += g.area;
    for (int i = 0; i < 3; ++i)
      if (!mesh.traction_prescribed(e, i + 1)) flux[k] += g.area * te[i] * g.normal[i];
  }
  std::vector<double> c(bodies.count, 0.0);
  for (int k = 0; k < bodies.count; ++k)
    if (eligible[k] && area[k] > 0.0) c[k] = flux[k] / area[k];
  for (int e = 1; e <= ne; ++e) {
    const int k = bodies.of_element[e - 1];
    if (!eligible[k]) continue;
    const ElementGeometry g = element_geometry(mesh, e);
    double* te = t + 3 * static_cast<std::int64_t>(e - 1);
    for (int i = 0; i < 3; ++i)
      if (!mesh.traction_prescribed(e, i + 1)) te[i] -= c[k] * g.normal[i];
  }
  return c;
}

}  // namespace velmora
