// Bodies that are rigid copies of one another: the same elements joined the
// same way, at other places and orientations.
//
// Conventions: a body's elements are taken in increasing element number and
// its nodes in the order they first appear in those elements' connectivity
// (node 1, 2, 3 of each element), which numbers both locally from 0.  Two
// bodies are alike when their local connectivities are equal; a body b is a
// placed copy of a template T when x_b - c_b = R (X_T - c_T) for every local
// node, c the mean of the nodes and R a proper rotation (det R = +1; a
// mirror image turns the element normals and is not a copy).
#pragma once

#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

// One body's local numbering.
struct BodyLayout {
  std::vector<int> elements;  // 1-based element numbers, increasing
  std::vector<int> nodes;     // 1-based node numbers by local number
  std::vector<int> local;     // 3 per local element: local node numbers
};

// The layouts of bodies 1..nbody, body[e-1] the body of element e.
std::vector<BodyLayout> body_layouts(const MeshView& mesh, const int* body, int nbody);

// The local nodes of a layout relative to their mean: 3 per node.
std::vector<double> centred_nodes(const MeshView& mesh, const BodyLayout& layout);

// The rotation that best carries the centred points a onto the centred
// points b (n points, 3 each), in the least-squares sense (Horn's unit
// quaternion: the eigenvector of the largest eigenvalue of the 4x4
// symmetric matrix of the cross-covariance), and the largest distance
// |R a_i - b_i| it leaves.  R is row by row.
struct RigidFit {
  double rot[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double residual = 0.0;
};
RigidFit fit_rotation(const double* a, const double* b, int n);

}  // namespace velmora
