// Bodies of a mesh: the pieces connected through shared edges, and whether
// each is a closed, consistently oriented surface.
//
// Two elements belong to one body when they share an edge (two nodes).  A
// body is closed when every one of its edges is shared by exactly two of its
// elements that run along it in opposite directions (node a to b in one, b
// to a in the other), so that the element normals (x2 - x1) x (x3 - x1) all
// point to the same side of the surface.
#pragma once

#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

struct Bodies {
  int count = 0;
  std::vector<int> of_element;  // body 0..count-1 of element e at index e-1
  std::vector<char> closed;     // per body
};

Bodies find_bodies(const MeshView& mesh);

// |n_k| at or below this on a traction-prescribed component counts as zero:
// the component lies along the surface.
inline constexpr double kTangentialTraction = 1e-10;

// On a closed body whose every element has all three velocity components
// prescribed (or a traction only on components along the surface, n_k = 0),
// the traction unknowns are determined only up to c n: the single-layer
// integral of the element normals over a closed surface vanishes (the
// velocity of the Stokeslet is divergence-free), so t + c n solves the same
// equations for any c.  This sets the area-mean normal traction to zero:
//   c = sum_e A_e (t_e . n_e) / sum_e A_e,   t_e -> t_e - c n_e
// on the velocity-prescribed components, for each such body (A_e the area
// and n_e the unit normal), which leaves the force -sum A_e t_e and the
// torque unchanged (sum A_e n_e = 0 and sum A_e x_e x n_e = 0 over a closed
// flat-triangle surface, x_e the centroid).  The solver fixes c by the
// pressure at infinity instead (pressure_constant.hpp); the zero mean is its
// choice for a container, where the flow leaves c free.  `t` holds the
// tractions, 3 entries per element.  `only`, when given, limits the change to
// the bodies b with (*only)[b] != 0.  Returns, per body, the c removed (0 on
// bodies left alone).
std::vector<double> remove_normal_mean(const MeshView& mesh, const Bodies& bodies, double* t,
                                       const std::vector<char>* only = nullptr);

}  // namespace velmora
