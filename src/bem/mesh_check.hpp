// Checks of a surface mesh as read, before it is solved on: the edge
// topology of closed, consistently oriented bodies, and facing elements
// almost on top of each other.
//
// Orientation: an element runs its edges n1 -> n2 -> n3 -> n1.  On a closed,
// consistently oriented surface every edge is used by exactly two elements,
// which run it in opposite directions.  Bodies are the pieces of the mesh
// connected through shared edges, so the two elements of an edge always
// belong to the same body.
#pragma once

#include <cstdint>
#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

// Edges of the mesh that break a closed, consistently oriented surface.
struct EdgeFaults {
  std::int64_t edges = 0;         // distinct edges of the mesh
  std::int64_t open = 0;          // used by one element only
  std::int64_t nonmanifold = 0;   // used by three or more elements
  std::int64_t inconsistent = 0;  // used by two elements in the same direction
  std::int64_t at_fault() const { return open + nonmanifold + inconsistent; }
};

// Counts the faulty edges of the elements ielem (nelem x 3, column-major,
// node numbers of any positive 32-bit value).  One pass over the 3 nelem
// element edges through an open-addressing hash table of the undirected
// edges: time and memory (36 to 72 bytes per element) linear in nelem.
EdgeFaults count_edge_faults(int nelem, const int* ielem);

// Pairs of elements (e, f) whose collocation points are closer than
// `fraction` times the smaller of their sizes sqrt(area) and whose unit
// normals are nearly opposite (n_e . n_f < -0.9): the two faces of a body
// of almost no thickness, or two surfaces almost in contact.  The points
// are binned in hashed grids, one per class of element sizes within a
// factor two, with cells four times the search radius of their class; each
// pair is sought from its smaller element in its own and the larger
// classes, where its search box meets at most eight cells.  Time linear in
// nelem times the number of size classes, whatever the grading or extent.
std::int64_t count_facing_pairs(const MeshView& mesh, double fraction);

// The closest pair of elements of different bodies whose collocation points
// lie within `fraction` times the smaller element's size sqrt(area), found
// the same way.  The distance of the collocation points stands for the gap
// between the surfaces (within the sagitta of the elements).
struct BodyGap {
  bool found = false;
  int e = 0, f = 0;   // e the smaller element of the pair
  double gap = 0.0;   // distance of their collocation points
  double size = 0.0;  // sqrt(area) of element e
};
BodyGap closest_gap(const MeshView& mesh, const std::vector<int>& body_of, double fraction);

}  // namespace velmora
