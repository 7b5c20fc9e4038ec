// Exact integrals of the Stokes kernels over one flat triangle.
//
// Conventions: r = x - y with x the target and y a point of the source
// element, n the source's unit normal (x2 - x1) x (x3 - x1) / |.|.
//   Stokeslet       U_ij = (delta_ij / r + r_i r_j / r^3) / (8 pi mu)
//   traction kernel T_ij = (3 / (4 pi)) r_i r_j (r . n) / r^5
// For a target on the source element itself the traction integral is the
// limit from the side n points to, one half of the identity.
#pragma once

#include <cstddef>

#include "bem/mesh.hpp"

namespace velmora {

// Results per target: entry k-1 of each array belongs to target k.
struct NearCoef {
  double* u[6];  // integrals of U11, U12, U13, U22, U23, U33
  double* t[9];  // integrals of T11, T12, T13, T21, T22, T23, T31, T32, T33
};

// Per-target working state, with room for the longest target list.
struct TriintWork {
  int* flag;         // 10 * snapped vertex + number of edges with d >= 0
  int* s;            // sign of h: -1, 0, +1
  double* h;         // signed distance from the source plane
  double* sigma;     // -1.0 or +1.0 (+1.0 when h = 0)
  double* hint[6];   // H_ij: 11, 12, 13, 22, 23, 33
  double* tint[10];  // H_ijk: 111, 112, 113, 122, 123, 133, 222, 223, 233, 333
};

// Storage per target of the fifteen results and the working state: 33 reals
// (u, t, h, sigma, hint, tint) and 2 integers (flag, s).
inline constexpr std::size_t kTriintReals = 33;
inline constexpr std::size_t kTriintInts = 2;

// Points every array of `coef` and `work` into one block of reals
// (kTriintReals * n entries) and one of integers (kTriintInts * n entries),
// n entries per array.
inline void carve_triint_arrays(double* reals, int* ints, std::size_t n, NearCoef& coef,
                                TriintWork& work) {
  double* r = reals;
  for (auto& a : coef.u) a = r, r += n;
  for (auto& a : coef.t) a = r, r += n;
  work.h = r, r += n;
  work.sigma = r, r += n;
  for (auto& a : work.hint) a = r, r += n;
  for (auto& a : work.tint) a = r, r += n;
  work.flag = ints;
  work.s = ints + n;
}

// Fills `coef` for the targets of `ltarg` (ltarg[0] = count nt, ltarg[k] =
// element whose collocation point is target k, k = 1..nt) from source
// element `es`, and returns the source's unit normal whatever nt is.
void TRIINT(const MeshView& mesh, double mu, double snaptol, const int* ltarg, const NearCoef& coef,
            const TriintWork& work, double normal[3], int es);

}  // namespace velmora
