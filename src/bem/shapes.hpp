// Closed surface meshes of simple bodies, oriented for exterior flow.
//
// Every element's normal (x2 - x1) x (x3 - x1) points into the body (the
// nodes run clockwise seen from the fluid), the orientation the boundary
// integral equation of the solver assumes.  Arrays are column-major as in
// the model file: xnode is nnode x 3, ielem nelem x 3 with one-based nodes.
#pragma once

#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

struct SurfaceMesh {
  int nnode = 0;
  int nelem = 0;
  std::vector<double> xnode;
  std::vector<int> ielem;

  double x(int k, int c) const { return xnode[(k - 1) + (c - 1) * static_cast<long>(nnode)]; }
  int node(int e, int v) const { return ielem[(e - 1) + (v - 1) * static_cast<long>(nelem)]; }
};

// The mesh seen through the solver's view, with the caller's collocation
// points xcol (nelem x 3, column-major) and boundary conditions bc (nelem x
// 6, or null where no routine reads them); every array must outlive the view.
inline MeshView view_of(const SurfaceMesh& m, const double* xcol, const double* bc) {
  MeshView v;
  v.nelem = m.nelem;
  v.nnode = m.nnode;
  v.ielem = m.ielem.data();
  v.xnode = m.xnode.data();
  v.xcol = xcol;
  v.bc = bc;
  return v;
}

// Sphere of the given radius about `centre` (origin when null): an
// icosahedron refined `refinements` times (each triangle split into four,
// new nodes projected onto the sphere), 20 * 4^refinements triangles.
SurfaceMesh icosphere(int refinements, double radius, const double* centre = nullptr);

// Sphere as a geodesic mesh of frequency k >= 1: every face of the
// icosahedron split into k^2 triangles, nodes projected onto the sphere;
// 20 k^2 triangles (any size in steps of a few percent, e.g. k = 71 gives
// 100,820 and k = 224 gives 1,003,520).  Frequency 2^L has the element
// count of refinement L, not its nodes.
SurfaceMesh geodesic_sphere(int frequency, double radius, const double* centre = nullptr);

// Triaxial ellipsoid x^2/a^2 + y^2/b^2 + z^2/c^2 = 1: the unit icosphere
// scaled along the axes.
SurfaceMesh ellipsoid(int refinements, double a, double b, double c);

// The same ellipsoid centred at `centre`.  A spheroid is the case a = b.
SurfaceMesh ellipsoid(int refinements, double a, double b, double c, const double* centre);

// Torus about the z axis through `centre` (origin when null): the tube of
// radius `minor_radius` whose centre line is the circle of radius
// `major_radius`.  The surface point at angles (u, v) is
//   ((R + r cos v) cos u, (R + r cos v) sin u, r sin v) + centre,
// sampled at nmajor equal steps of u and nminor of v; each of the
// nmajor * nminor quadrilaterals is split into two triangles, the diagonal
// alternating in a checkerboard pattern.
SurfaceMesh torus(int nmajor, int nminor, double major_radius, double minor_radius,
                  const double* centre = nullptr);

// One body of several: a sphere of `radius` about `centre`.
struct SphereSpec {
  double centre[3];
  double radius;
};

// Several spheres in one model, each an icosphere with `refinements`
// refinements, appended in the order given (bodies keep that order).
SurfaceMesh spheres(int refinements, const std::vector<SphereSpec>& list);

// Appends the nodes and elements of `b` to `a` (element node numbers
// shifted), for several bodies in one model.
void append_mesh(SurfaceMesh& a, const SurfaceMesh& b);

// Signed volume enclosed by a closed mesh, sum over elements of
// x1 . (x2 x x3) / 6.  With the inward orientation above it is negative.
double signed_volume(const SurfaceMesh& m);

}  // namespace velmora
