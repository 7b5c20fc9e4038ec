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
#include "toolkit/vtk_xml.hpp"

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

// Centroid, unit normal (x2 - x1) x (x3 - x1) / |...| (into the body; zero
// for a degenerate element) and area of element e.
struct ElementFacet {
  Vec3 centroid{0, 0, 0};
  Vec3 normal{0, 0, 0};
  double area = 0;
};
ElementFacet element_facet(const SurfaceMesh& m, int e);

// Area of every element, |(x2 - x1) x (x3 - x1)| / 2.
std::vector<double> element_areas(const SurfaceMesh& m);

// tvec is interleaved by element (entry 3(e-1)+k is component k of element e).
Loads compute_loads(const SurfaceMesh& m, const Bodies& bodies, const double* tvec,
                    const Vec3& point);

// How write_vtu writes: the encoding of the arrays (toolkit/vtk_xml.hpp),
// and optionally a physical group tag per element (0: none), written as
// the cell data "group".
struct VtuOptions {
  VtkEncoding encoding = VtkEncoding::binary;
  const std::vector<int>* group = nullptr;
};

// VTK XML unstructured grid of the surface: the nodes, the triangles, and
// as cell data the element's "velocity", "traction_on_fluid",
// "traction_on_body", "normal" (unit, into the body), "area", its "body"
// number (and "group" when given); as point data the arithmetic means of
// "velocity" and the tractions over the elements that use the node (zero at
// nodes that no element uses).  u and t are interleaved by element; a null
// t leaves the tractions out.
void write_vtu(std::ostream& os, const SurfaceMesh& m, const Bodies& bodies, const double* u,
               const double* t, const VtuOptions& options = {});

}  // namespace velmora::tools
