// The octree of cells: build, octant numbering and the passive integer sort.
//
// MKTREE sorts the elements by their collocation points into an adaptive
// octree.  The root cube is centred on the bounding box of all nodes, its
// edge is the largest extent times cubfac; a cell on level R is split into its
// non-empty octants while it holds more than maxl elements or R < minlev.
// Cells are numbered in creation order, level by level; every cell's elements
// form one contiguous run of ielord, the concatenation of its children's runs
// in octant order 1..8.  celsiz(R) = root edge / 2^R.
//
// On success the report (levels, cells, empty line) goes to the console and
// to unit 6.  Fatal stops (error stream, StopRun): " # maxdep is too small; stop"
// when a split would need a level beyond maxdep, " # maxcel is too small; stop"
// when more than maxcel cells are needed (maxcel cells fit exactly), and
// " # stop in ibrnch" for a point whose octant cannot be decided.
#pragma once

#include <functional>

#include "fmm/tree.hpp"

namespace velmora {

// The root cube of the tree: centred on the bounding box of the nodes
// xnode (nnode x 3, column-major), its edge (returned) the largest extent of
// that box times cubfac.
double root_cube(int nnode, const double* xnode, double cubfac, double centre[3]);

// Octant 1..8 of point p relative to centre c.  Upper half (p_z >= c_z):
//   1  p_x >= c_x and p_y >= c_y      child offset (+1, +1, +1)
//   2  p_x <  c_x and p_y >  c_y                   (-1, +1, +1)
//   3  p_x <= c_x and p_y <= c_y                   (-1, -1, +1)
//   4  p_x >  c_x and p_y <  c_y                   (+1, -1, +1)
// tested in this order; 5..8 likewise for p_z < c_z with z offset -1.
int ibrnch(const double p[3], const double c[3]);

// Sign (+1 or -1) of coordinate k (1..3) of the child centre offset of octant l.
int octant_sign(int l, int k);

// Passive sort of the integers ix(1..n): iperm receives the permutation that
// orders them (ix(iperm(1)) <= ix(iperm(2)) <= ... for kflag 1 and 2,
// descending for -1 and -2).  With |kflag| = 2, ix itself is also
// rearranged into that order; with |kflag| = 1 it is left unchanged.  A
// quicksort on the permutation with a median-of-three pivot at the fixed
// fraction 0.4140625 of the segment and an explicit stack of at most 50
// saved segments (the larger part is saved, so the depth stays below
// log2 n).  ier = 0 on success; ier = 1 for n < 1 and ier = 2 for a kflag
// other than 2, 1, -1, -2, each reported as a recoverable error of IPSORT on
// the error stream, with nothing sorted.
void IPSORT(int* ix, int n, int* iperm, int kflag, int& ier);

// Builds the tree.  `tree` points at the output arrays (its maxcel and maxdep
// must equal the arguments: they are the leading dimensions); nlev, ncell
// (tree.ncell()), levfst, levlst, celsiz, celcen, iparnt, ichild, ielord,
// ielfst and iellst are written.  xnode is nnode x 3 and xcol nelem x 3,
// column-major.  ioct and iperm are work arrays of nelem integers.  nlev is
// set to 0 before the build, so a tree that is only the root reports 0
// levels; the eight child entries of every cell are cleared when the cell is
// created, so a leaf has ichild(c, 1..8) = 0.
//
// before_size_stop, when set, is called just before a maxdep or maxcel stop
// (the driver reports there what the mesh would need).
void MKTREE(int maxdep, int minlev, int maxcel, int maxl, int nelem, int nnode, const Tree& tree,
            const double* xnode, const double* xcol, double cubfac, int* ioct, int* iperm,
            const std::function<void()>& before_size_stop = {});

}  // namespace velmora
