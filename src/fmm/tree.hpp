// The octree of cells as stored in the block.
//
// Cells are numbered 1..ncell in creation order, level by level; levels from
// 0 (the root) to nlev.  celcen is maxcel x 3 and ichild maxcel x 8, both
// column-major; levfst, levlst and celsiz are indexed by level 0..maxdep.
// iccode is indexed 0..maxcel and its entry 0 holds ncell.  A cell's
// elements are ielord(ielfst(c)..iellst(c)).
#pragma once

namespace velmora {

struct Tree {
  int maxcel = 0;
  int maxdep = 0;
  int* nlev = nullptr;
  int* iccode = nullptr;
  int* ielord = nullptr;
  int* ielfst = nullptr;
  int* iellst = nullptr;
  int* iparnt = nullptr;
  int* ichild = nullptr;
  int* levfst = nullptr;
  int* levlst = nullptr;
  double* celcen = nullptr;
  double* celsiz = nullptr;

  int& ncell() const { return iccode[0]; }
  int& elord(int k) const { return ielord[k - 1]; }
  int& fst(int c) const { return ielfst[c - 1]; }
  int& lst(int c) const { return iellst[c - 1]; }
  int& parent(int c) const { return iparnt[c - 1]; }
  int& child(int c, int oct) const { return ichild[(c - 1) + (oct - 1) * static_cast<long>(maxcel)]; }
  int& levf(int lev) const { return levfst[lev]; }
  int& levl(int lev) const { return levlst[lev]; }
  double& cen(int c, int k) const { return celcen[(c - 1) + (k - 1) * static_cast<long>(maxcel)]; }
  double& size(int lev) const { return celsiz[lev]; }
};

// The leaf rule shared by the tree build, the passes and the preconditioner:
// a cell on level `lev` is a leaf when iellst - ielfst < maxl and lev >= minlev.
// Consumers that need at least one element also test iellst >= ielfst.
inline bool is_leaf(const Tree& t, int c, int lev, int maxl, int minlev) {
  return t.lst(c) - t.fst(c) < maxl && lev >= minlev;
}

}  // namespace velmora
