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

// On a closed body whose every element has all three velocity components
// prescribed, the traction unknowns are determined only up to c n: the
// single-layer integral of the element normals over a closed surface
// vanishes (the velocity of the Stokeslet is divergence-free), so t + c n
// solves the same equations for any c.  This removes that component:
//   c = sum_e A_e (t_e . n_e) / sum_e A_e,   t_e -> t_e - c n_e,
// for each such body (A_e the area and n_e the unit normal), which leaves
// the force -sum A_e t_e and the torque unchanged (sum A_e n_e = 0 and
// sum A_e x_e x n_e = 0 over a closed flat-triangle surface, x_e the
// centroid).  `t` holds the solution vector, 3 entries per element.
// Returns, per body, the c removed (0 on bodies left alone).
std::vector<double> remove_normal_mean(const MeshView& mesh, const Bodies& bodies, double* t);

}  // namespace velmora
