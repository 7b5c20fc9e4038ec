// Block-Jacobi preconditioner over the leaves of the tree.
//
// For every leaf with elements e_1..e_nl (in tree order) the 3nl x 3nl
// block holds, in row 3(k-1)+i and column 3(l-1)+j, the integral over e_l
// at the collocation point of e_k of T_ij when component j of e_l has a
// prescribed traction (its unknown is a velocity), else minus the integral
// of U_ij (its unknown is a traction).  z = B^-1 x is solved leaf by leaf
// with dense LU; every application rebuilds and refactors every block, so
// nothing is kept between applications.
#pragma once

#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "fmm/tree.hpp"

namespace velmora {

struct PreconData {
  MeshView mesh;
  double mu = 0;
  double snaptol = 0;
  int maxl = 0;
  int minlev = 0;
  Tree tree;
  // Working storage: the block (3 maxl x 3 maxl), pivots and right-hand side
  // (3 maxl each), the leaf's target list (maxl + 1) and the integration
  // results and work arrays with room for a leaf's targets.
  double* block = nullptr;
  int* ipvt = nullptr;
  double* rhs = nullptr;
  int* ltarg = nullptr;
  NearCoef coef{};
  TriintWork work{};
};

// z = B^-1 x for the 3 nelem entries of the elements of visited leaves
// (levels 2..nlev); other entries of z are left as they are.
void PRECON(const double* x, double* z, const PreconData& d);

}  // namespace velmora
