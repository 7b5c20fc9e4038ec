// A tree that owns its arrays: MKTREE's outputs held in vectors, for the
// programs and layers that build a tree outside the storage block (the
// rigid-body solver, the evaluation of the flow at points of the fluid).
//
// The build is MKTREE's, with its report to the console and to unit 6 kept
// out of the caller's output: the same cells, numbering and element order as
// the solve of the same mesh with the same maxdep, minlev, maxl and cubfac.
// Its fatal stops (maxdep or maxcel too small) are MKTREE's (StopRun).
#pragma once

#include <vector>

#include "bem/mesh.hpp"
#include "fmm/tree.hpp"

namespace velmora {

class OwnedTree {
 public:
  // maxcel <= 0: sized to the cells the mesh needs (count_tree), so the
  // arrays take no more than the tree.  xnode is nnode x 3 and xcol nelem x 3,
  // column-major.
  OwnedTree(int maxdep, int minlev, int maxcel, int maxl, int nelem, int nnode, const double* xnode,
            const double* xcol, double cubfac);
  OwnedTree(const OwnedTree&) = delete;
  OwnedTree& operator=(const OwnedTree&) = delete;

  // The view the passes and the engine take; valid while this object lives.
  const Tree& tree() const { return tree_; }
  int nlev() const { return nlev_; }

 private:
  int nlev_ = 0;
  std::vector<int> iccode_, ielord_, ielfst_, iellst_, iparnt_, ichild_, levfst_, levlst_;
  std::vector<double> celcen_, celsiz_;
  Tree tree_;
};

}  // namespace velmora
