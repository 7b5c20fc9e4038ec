// Closed surface meshes of simple bodies, oriented for exterior flow.
//
// Every element's normal (x2 - x1) x (x3 - x1) points into the body (the
// nodes run clockwise seen from the fluid), the orientation the boundary
// integral equation of the solver assumes.  Arrays are column-major as in
// the model file: xnode is nnode x 3, ielem nelem x 3 with one-based nodes.
#pragma once

#include <vector>

namespace velmora {

struct SurfaceMesh {
  int nnode = 0;
  int nelem = 0;
  std::vector<double> xnode;
  std::vector<int> ielem;

  double x(int k, int c) const { return xnode[(k - 1) + (c - 1) * static_cast<long>(nnode)]; }
  int node(int e, int v) const { return ielem[(e - 1) + (v - 1) * static_cast<long>(nelem)]; }
};

// Sphere of the given radius about `centre` (origin when null): an
// icosahedron refined `refinements` times (each triangle split into four,
// new nodes projected onto the sphere), 20 * 4^refinements triangles.
SurfaceMesh icosphere(int refinements, double radius, const double* centre = nullptr);

// Triaxial ellipsoid x^2/a^2 + y^2/b^2 + z^2/c^2 = 1: the unit icosphere
// scaled along the axes.
SurfaceMesh ellipsoid(int refinements, double a, double b, double c);

// Appends the nodes and elements of `b` to `a` (element node numbers
// shifted), for several bodies in one model.
void append_mesh(SurfaceMesh& a, const SurfaceMesh& b);

// Signed volume enclosed by a closed mesh, sum over elements of
// x1 . (x2 x x3) / 6.  With the inward orientation above it is negative.
double signed_volume(const SurfaceMesh& m);

}  // namespace velmora
