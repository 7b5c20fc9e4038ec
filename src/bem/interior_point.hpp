// A point well inside a closed body: the candidate farthest from the surface
// among the volume centroid and the midpoints of inward rays.
//
// Conventions: element normal n = (x2 - x1) x (x3 - x1) / |.|; the body's
// inside is the side n points to (a body in exterior flow).  A point is
// inside when the winding number of the surface about it, the signed solid
// angle / 4 pi summed over the elements, is one (above one half).
#pragma once

#include <vector>

#include "bem/bodies.hpp"
#include "bem/mesh.hpp"

namespace velmora {

struct InteriorPoint {
  bool found = false;
  double x[3] = {0.0, 0.0, 0.0};
  double clearance = 0.0;  // distance to the nearest element of the body
};

// Elements (1-based) of body b.
std::vector<int> elements_of_body(const Bodies& bodies, int b);

// Winding number of the elements `elems` about p: 1 inside a closed body
// whose normals point into it, 0 outside, -1 inside one oriented the other way.
double winding_number(const MeshView& mesh, const std::vector<int>& elems, const double p[3]);

// Signed volume sum_e det(x1, x2, x3) / 6 of the elements: negative for a
// closed body whose normals point into it.
double signed_volume_of(const MeshView& mesh, const std::vector<int>& elems);

// Distance from p to the nearest of the elements.
double distance_to_surface(const MeshView& mesh, const std::vector<int>& elems, const double p[3]);

// The candidate with the largest clearance that is inside the body, from the
// volume centroid and the midpoints of the rays cast along n from up to
// `rays` element centroids spread over the body (to the first element they
// meet).  found is false when no candidate is inside.
InteriorPoint interior_point(const MeshView& mesh, const std::vector<int>& elems, int rays = 48);

// Every candidate of interior_point that is inside the body, by clearance,
// largest first (the first is interior_point's choice).
std::vector<InteriorPoint> interior_candidates(const MeshView& mesh, const std::vector<int>& elems,
                                               int rays = 48);

}  // namespace velmora
