#include "bem/mesh.hpp"

#include <cmath>

namespace velmora {

ElementGeometry element_geometry(const MeshView& mesh, int e) {
  const int n1 = mesh.node(e, 1), n2 = mesh.node(e, 2), n3 = mesh.node(e, 3);
  double d[3], g[3];
  for (int c = 1; c <= 3; ++c) {
    d[c - 1] = mesh.x(n2, c) - mesh.x(n1, c);
    g[c - 1] = mesh.x(n3, c) - mesh.x(n1, c);
  }
  const double k1 = d[1] * g[2] - d[2] * g[1];
  const double k2 = d[2] * g[0] - d[0] * g[2];
  const double k3 = d[0] * g[1] - d[1] * g[0];
  const double len = std::sqrt(k1 * k1 + k2 * k2 + k3 * k3);
  ElementGeometry geo;
  geo.normal[0] = k1 / len;
  geo.normal[1] = k2 / len;
  geo.normal[2] = k3 / len;
  geo.area = 0.5 * len;
  return geo;
}

void collocation_points(int nelem, int nnode, const int* ielem, const double* xnode, double* xcol) {
  const long ne = nelem, nn = nnode;
  for (long e = 0; e < ne; ++e) {
    const long a = ielem[e] - 1, b = ielem[e + ne] - 1, c = ielem[e + 2 * ne] - 1;
    for (long k = 0; k < 3; ++k)
      xcol[e + k * ne] = (xnode[a + k * nn] + xnode[b + k * nn] + xnode[c + k * nn]) / 3.0;
  }
}

}  // namespace velmora
