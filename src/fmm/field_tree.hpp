// The octree of a field evaluation: one grid of cubes holding both the
// source elements (by centroid) and the field points.
//
// The root is the smallest cube (edge enlarged by 1e-6 of itself) that holds
// every node of the mesh and every point; cell (level l, index i, j, k) is
// the cube [corner + (i, j, k) s_l, corner + (i+1, j+1, k+1) s_l] with
// s_l = s_0 / 2^l.  A cell exists when it holds elements of a source cell or
// points of a target cell.
//   Sources: a cell with elements whose parent is an internal source cell
//   (or the root) is a source leaf when it holds at most maxl elements and
//   lies on level >= 2 (or on the deepest level), else an internal source
//   cell whose elements go to its children.  Cells below a source leaf are
//   no source cells.
//   Targets: a cell with points is split (its points go to its children)
//   while it lies above level 2, holds more than maxp points, or is adjacent
//   to an internal source cell of its level; otherwise it is a target leaf.
//   So a target leaf never neighbours a source cell finer than itself.
// Two cells of one level are adjacent when their indices differ by at most
// one in every coordinate (centre distance at most sqrt(3) edges; the cells
// of the multipole lists are at least two edges apart).
//
// Lists of a target cell B on level l >= 2 with parent P, from the source
// cells Q of level l-1 adjacent to P: a source leaf Q joins the coarse list;
// the source children of an internal Q join the neighbour list when
// adjacent to B, else the interaction list.  The field at a point of a
// target leaf B is then: the local expansion of B (interaction lists of B
// and its ancestors, moved down), plus exact integrals over the elements of
// the coarse lists of B and its ancestors and of the neighbour cells of B
// (their whole subtrees).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

struct FieldCell {
  int level = 0;
  int ix = 0, iy = 0, iz = 0;
  double cen[3] = {0, 0, 0};
  int parent = -1;
  int child[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int sb = 0, se = 0;  // elements elems[sb..se)
  int tb = 0, te = 0;  // points points[tb..te)
  // 0 no source cell, 1 internal source cell, 2 source leaf.
  int role = 0;
  bool target_split = false;
  bool target_leaf() const { return te > tb && !target_split; }
};

struct FieldTree {
  double corner[3] = {0, 0, 0};
  std::vector<double> size;   // edge of a cell, by level
  std::vector<FieldCell> cells;  // level by level; cell 0 the root
  std::vector<int> levfst;    // cells of level l: levfst[l]..levfst[l+1]-1
  std::vector<int> elems;     // element numbers (1-based) in tree order
  std::vector<int> points;    // point indices (0-based) in tree order
  // Lists of the target cells (indexed by cell; empty for other cells).
  std::vector<std::vector<int>> coarse, neigh, inter;

  int nlev() const { return static_cast<int>(levfst.size()) - 2; }
  // The cell of `level` with the given index, or -1.
  int find(int level, long i, long j, long k) const;
  std::vector<std::vector<std::pair<std::uint64_t, int>>> grid;  // per level, sorted
};

// Builds the tree and the lists for the mesh and the n points (xyz, three
// reals per point).  maxdep bounds the depth (at most 20).
FieldTree build_field_tree(const MeshView& mesh, int n, const double* xyz, int maxl, int maxp,
                           int maxdep);

}  // namespace velmora
