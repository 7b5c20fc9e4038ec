// Topology and clean-up of triangle surface meshes: bodies as connected
// components, closedness, consistent orientation and the orientation for
// exterior flow, coincident nodes and degenerate elements.
//
// Orientation convention of the solver: the element normal
// (x2 - x1) x (x3 - x1) points into the body (the nodes run clockwise seen
// from the fluid).  For a closed body this makes the signed volume
// sum x1 . (x2 x x3) / 6 negative.
#pragma once

#include <array>
#include <vector>

#include "bem/shapes.hpp"

namespace velmora::tools {

// Bodies: the components of the mesh connected through shared edges.
// body[e-1] in 1..count is the body of element e; bodies are numbered in
// the order of their first element.
struct Bodies {
  int count = 0;
  std::vector<int> body;
};

Bodies find_bodies(const SurfaceMesh& m);

// State of one body after orientation.
struct BodyCheck {
  int nelem = 0;
  int open_edges = 0;         // edges used by one element only
  int nonmanifold_edges = 0;  // edges used by three or more elements
  bool orientable = true;     // false when no consistent orientation exists
  int flipped = 0;            // elements whose node order was reversed
  bool interior = false;      // oriented as a container of the fluid
  double signed_volume = 0;   // after orientation; negative for a closed body,
                              // positive for a closed container
  bool closed() const { return open_edges == 0 && nonmanifold_edges == 0 && orientable; }
};

// Orients every body consistently (neighbours across an edge shared by two
// elements traverse it in opposite directions) and then, for a closed body,
// so that its signed volume is negative: the normals point into the body.
// An open or non-manifold body keeps the orientation of its first element.
// Returns one entry per body, in body order.
std::vector<BodyCheck> orient_for_exterior_flow(SurfaceMesh& m, const Bodies& bodies);

// The same, except that the closed bodies K with interior[K-1] != 0 are
// containers: the fluid fills them, so their normals point out of the
// enclosed region (away from the fluid) and the signed volume is positive.
// `interior` may be shorter than the body count (missing entries: exterior).
std::vector<BodyCheck> orient_bodies(SurfaceMesh& m, const Bodies& bodies,
                                     const std::vector<char>& interior);

// Area, enclosed volume and centroid of each body.  The centroid is the
// centroid of the enclosed volume for a closed body and the area-weighted
// mean of the element centroids otherwise.
struct BodyGeometry {
  int nelem = 0;
  bool closed = false;
  double area = 0;
  double volume = 0;  // |signed volume| for a closed body, 0 otherwise
  std::array<double, 3> centroid{0, 0, 0};
};

std::vector<BodyGeometry> body_geometry(const SurfaceMesh& m, const Bodies& bodies);

// Merges nodes closer than `tol` to each other (each to the first of its
// cluster), then removes the nodes no element uses.  Returns the number of
// nodes removed.
int merge_coincident_nodes(SurfaceMesh& m, double tol);

// Removes elements with a repeated node or with |(x2 - x1) x (x3 - x1)| not
// above rel_tol times the square of their longest edge; `tag` (one entry per
// element, may be null) is filtered alike.  Unused nodes are removed too.
// Returns the number of elements removed.
int remove_degenerate_elements(SurfaceMesh& m, std::vector<int>* tag, double rel_tol = 1e-12);

// Removes the nodes no element uses, renumbering the rest in their order.
void drop_unused_nodes(SurfaceMesh& m);

// Largest extent of the bounding box of the nodes.
double extent(const SurfaceMesh& m);

// Longest edge of any element.
double longest_edge(const SurfaceMesh& m);

}  // namespace velmora::tools
