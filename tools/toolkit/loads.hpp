// Loads on the bodies from the solved tractions, and the VTK file of the
// surface solution.
//
// Signs follow the solver's: the element normal points into the body and
// the traction t of an element is the stress acting on that normal, so the
// fluid pushes on the body with -t per unit area.  The force on a body is
//   F = -sum over its elements of A_e t_e,
// the same sum as the solver's total force, and its torque about a point c
//   L(c) = -sum over its elements of A_e (x_e - c) x t_e,
// with x_e the element's collocation point (its centroid), the one-point
// rule that matches constant elements.
#pragma once

#include <array>
#include <iosfwd>
#include <vector>

#include "bem/shapes.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

using Vec3 = std::array<double, 3>;

struct BodyLoad {
  int nelem = 0;
  double area = 0;
  Vec3 centroid{0, 0, 0};  // as body_geometry gives it
  Vec3 force{0, 0, 0};
  Vec3 torque_centroid{0, 0, 0};  // about `centroid`
  Vec3 torque_point{0, 0, 0};     // about the given point
};

struct Loads {
  Vec3 point{0, 0, 0};
  std::vector<BodyLoad> bodies;
  Vec3 force{0, 0, 0};         // all bodies
  Vec3 torque_point{0, 0, 0};  // all bodies, about `point`
};

// Area of every element, |(x2 - x1) x (x3 - x1)| / 2.
std::vector<double> element_areas(const SurfaceMesh& m);

// tvec is interleaved by element (entry 3(e-1)+k is component k of element e).
Loads compute_loads(const SurfaceMesh& m, const Bodies& bodies, const double* tvec,
                    const Vec3& point);

// VTK XML unstructured grid (ASCII) of the surface: the nodes, the
// triangles, and as cell data the element's "velocity", "traction",
// "normal" (unit, into the body) and "area" and its "body" number; as point
// data the arithmetic means of "velocity" and "traction" over the elements
// that use the node (zero at nodes that no element uses).  u and t are
// interleaved by element; a null t leaves the tractions out.
void write_vtu(std::ostream& os, const SurfaceMesh& m, const Bodies& bodies, const double* u,
               const double* t);

}  // namespace velmora::tools
