// The surface mesh as the integration and multipole routines see it.
//
// xnode is nnode x 3, ielem nelem x 3, xcol nelem x 3 and bc nelem x 6, all
// column-major with one-based rows: node k's coordinate c is
// xnode[(k-1) + (c-1)*nnode].  bc holds the three component codes, then the
// three prescribed values; a code equal to 2.0 (compared exactly) marks a
// prescribed traction, any other code a prescribed velocity.
#pragma once

namespace velmora {

struct MeshView {
  int nelem = 0;
  int nnode = 0;
  const int* ielem = nullptr;
  const double* xnode = nullptr;
  const double* xcol = nullptr;
  const double* bc = nullptr;

  // Node v (1..3) of element e.
  int node(int e, int v) const { return ielem[(e - 1) + (v - 1) * static_cast<long>(nelem)]; }
  // Coordinate c (1..3) of node k.
  double x(int k, int c) const { return xnode[(k - 1) + (c - 1) * static_cast<long>(nnode)]; }
  // Coordinate c of the collocation point of element e.
  double col(int e, int c) const { return xcol[(e - 1) + (c - 1) * static_cast<long>(nelem)]; }
  // Code and prescribed value of component k (1..3) of element e.
  double code(int e, int k) const { return bc[(e - 1) + (k - 1) * static_cast<long>(nelem)]; }
  double value(int e, int k) const { return bc[(e - 1) + (k + 2) * static_cast<long>(nelem)]; }
  bool traction_prescribed(int e, int k) const { return code(e, k) == 2.0; }
};

// Normal and area of a flat triangle: k = (x2 - x1) x (x3 - x1) component
// by component (k1 = d2 e3 - d3 e2, k2 = d3 e1 - d1 e3, k3 = d1 e2 - d2 e1),
// area |k| / 2, unit normal k / |k| with |k| = sqrt(k1^2 + k2^2 + k3^2)
// summed in that order.
struct ElementGeometry {
  double normal[3];
  double area;
};

ElementGeometry element_geometry(const MeshView& mesh, int e);

// xcol(e, k) = (sum of coordinate k of the three nodes) / 3 for every element.
void collocation_points(int nelem, int nnode, const int* ielem, const double* xnode, double* xcol);

}  // namespace velmora
