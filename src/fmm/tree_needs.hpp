// What the octree of a mesh needs: its cells and levels, counted by the
// same split rule, root cube and octant tests as MKTREE but without a limit
// on either, so that a run whose maxcel or maxdep is too small can say which
// values would do.
#pragma once

#include "bem/mesh.hpp"

namespace velmora {

struct TreeNeeds {
  int ncell = 0;           // cells of the whole tree, the root included
  int nlev = 0;            // deepest level (0: the root alone)
  bool separated = true;   // false: more than maxl collocation points stay
                           // together down to level_limit (coincident points)
};

// xnode nnode x 3 and xcol nelem x 3, column-major.  Splitting stops at
// level_limit, where `separated` turns false if a cell would still split.
TreeNeeds count_tree(int nelem, int nnode, const double* xnode, const double* xcol,
                     double cubfac, int minlev, int maxl, int level_limit);

// Called by MKTREE just before its maxcel or maxdep stop (and harmless
// elsewhere): when this mesh's tree does not fit maxcel or maxdep, writes
// to the error stream one line with the cells and levels it needs and, when
// the extent of the mesh is far larger than its elements (more than 1000
// times the median edge times sqrt(nelem), which no surface of that many
// elements spans by itself), a hint line naming the extent, the element size
// and the node farthest from the others.  MKTREE then stops as it does.
void report_tree_needs(const MeshView& mesh, int maxdep, int minlev, int maxcel, int maxl,
                       double cubfac);

}  // namespace velmora
