// Narrow gaps between bodies: the lubrication flow in a gap narrower than
// the elements on either side is not resolved (two spheres 0.05 apart
// squeezed together move 88 %, 31 % and 9 % too fast with icosahedral
// refinements 2, 3 and 4, element edges of about 6, 3 and 1.5 gaps).
#pragma once

#include "bem/shapes.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

// The closest pair of elements of two different bodies whose centroids lie
// nearer to each other than the longer of the two elements' longest edges
// (`size`).  `distance` is the least distance of either element's vertices
// and centroid to the other triangle: the gap between the two, exact
// unless the closest points lie inside an edge of each (then a little
// more).  found is false when no such
// pair exists.  A uniform grid of cells about the median element size holds
// the centroids, so that the search costs about the element count.
struct Gap {
  bool found = false;
  double distance = 0, size = 0;
  int body_a = 0, body_b = 0;  // body_a < body_b
  int elem_a = 0, elem_b = 0;
};
Gap narrowest_gap(const SurfaceMesh& m, const Bodies& bodies);

}  // namespace velmora::tools
