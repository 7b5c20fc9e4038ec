// The cells of a field evaluation: the solver's octree of the elements
// (fmm/tree.hpp, built by MKTREE with the solve's maxdep, minlev, maxl and
// cubfac) for the sources, and target cells on the same grid of cubes,
// extended beyond the root cube, for the field points.
//
// Grid: corner = the root's centre - s_0 / 2, s_l = s_0 / 2^l the solver's
// cell sizes; cell (level l, index i, j, k) is the cube
// [corner + (i, j, k) s_l, corner + (i+1, j+1, k+1) s_l], any integers i, j,
// k (a target may lie anywhere).  A point's cell on level l is
// floor((x - corner) / s_l).  A cell exists when it is a cell of the
// solver's tree (a source cell) or holds points (a target cell), or both.
//   Sources: the solver's cells, with their elements (a run of the tree's
//   order) and its leaf rule (is_leaf): leaves are source leaves, the other
//   cells internal source cells.  Source cells keep the solver's centres.
//   Targets: the level-0 cells of the points; a cell with points is split
//   (its points go to its children) while it holds more than maxp points or
//   is adjacent to an internal source cell of its level, down to the
//   deepest level.  So a target leaf never neighbours a source cell finer
//   than itself.  A point farther than 2^39 root edges from the root (whose
//   grid indices would not fit the integers) gets a cell of its own on
//   level 0, centred on it and adjacent to nothing.
// Two cells of one level are adjacent when their indices differ by at most
// one in every coordinate (centre distance at most sqrt(3) edges; the cells
// of the multipole lists are at least two edges apart), as the solver's
// lists take them.
//
// Lists of a target cell B, as the solver's passes form them but on every
// level from 0: on level 0 the root is B's neighbour when adjacent, else in
// its interaction list; on level l >= 1 with parent P, of the source cells Q
// of level l-1 adjacent to P a source leaf joins the coarse list and the
// source children of an internal Q join the neighbour list when adjacent to
// B, else the interaction list.  The field at a point of a target leaf B is
// then: the local expansion of B (interaction lists of B and its ancestors,
// moved down), plus exact integrals over the elements of the coarse lists
// of B and its ancestors and of the neighbour cells of B (their whole
// subtrees).  Targets inside the root cube take the solver's lists where
// their cells are the solver's; interaction lists on levels 0 and 1 occur
// only outside it.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "fmm/tree.hpp"

namespace velmora {

struct FieldCell {
  int level = 0;
  std::int64_t ix = 0, iy = 0, iz = 0;
  double cen[3] = {0, 0, 0};
  int parent = -1;
  int child[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int src = 0;         // the solver's cell (1-based), 0: no source cell
  int sb = 0, se = 0;  // elements elems[sb..se) (the solver cell's run)
  int tb = 0, te = 0;  // points points[tb..te)
  // 0 no source cell, 1 internal source cell, 2 source leaf.
  int role = 0;
  bool target_split = false;
  bool lone = false;  // a level-0 cell of one distant point, off the grid
  bool target_leaf() const { return te > tb && !target_split; }
};

struct FieldTree {
  double corner[3] = {0, 0, 0};
  std::vector<double> size;      // edge of a cell, by level
  std::vector<FieldCell> cells;  // level by level; cell 0 the root
  std::vector<int> levfst;       // cells of level l: levfst[l]..levfst[l+1]-1
  std::vector<int> elems;        // element numbers (1-based) in the solver's tree order
  std::vector<int> points;       // point indices (0-based) in tree order
  // Lists of the target cells (indexed by cell; empty for other cells).
  std::vector<std::vector<int>> coarse, neigh, inter;

  int nlev() const { return static_cast<int>(levfst.size()) - 2; }
  // The cell of `level` with the given index, or -1 (lone cells are not found).
  int find(int level, std::int64_t i, std::int64_t j, std::int64_t k) const;
  using Key = std::array<std::int64_t, 3>;
  std::vector<std::vector<std::pair<Key, int>>> grid;  // per level, sorted
};

// Builds the cells and lists for the solver's tree `src` of a mesh of
// nelem elements (its leaf rule: maxl, minlev) and the n points xyz (three
// reals per point, finite).  Target cells split down to level
// min(max(maxdep, 2), 22) at most.
FieldTree build_field_tree(const Tree& src, int maxl, int minlev, int nelem, int n,
                           const double* xyz, int maxp, int maxdep);

}  // namespace velmora
