// Elementwise logarithm and atan2 for the target loops of TRIINT, and the
// choice between the plain scalar library calls and glibc's vector math
// library (libmvec).
//
// Both paths are applied lane by lane to whole blocks of targets, so a
// target's result never depends on its position in a list.  The vector path
// is compiled in when the instruction set has AVX2 and the C library is glibc
// 2.35 or later (the first with a vector atan2); its results lie within a few
// units in the last place of the scalar ones.
#pragma once

#include "bem/triint.hpp"

namespace velmora {

enum class TriintMath { Scalar, Vector };

// True when the vector path is compiled in; otherwise TriintMath::Vector
// falls back to the scalar calls.
bool triint_vector_math_available();

// Lanes handled by one vector call; the block routines below take counts
// that are multiples of it.
inline constexpr int kTriintLanes = 4;

// y(k) = log(x(k)) and z(k) = atan2(y(k), x(k)) for k = 0..n-1, n a multiple
// of kTriintLanes.
void triint_log(TriintMath path, const double* x, double* y, int n);
void triint_atan2(TriintMath path, const double* y, const double* x, double* z, int n);

// y(k) = sqrt(x(k)) for k = 0..n-1, n a multiple of kTriintLanes; correctly
// rounded on every path (a separate pass because the library sqrt may set
// errno, which keeps the compiler from vectorising loops that call it).
void triint_sqrt(const double* x, double* y, int n);

// Which integrals a call forms: all fifteen, or the six of the Stokeslet
// alone (H_ijk is not formed; the nine traction-kernel results are set to
// zero and work.tint is left unwritten).  The Stokeslet results are the same
// bits either way; the second costs about half as much and serves a source
// whose velocity density is zero, where the traction kernel multiplies
// zeros.
enum class TriintParts { All, StokesletOnly };

// TRIINT with an explicit choice of the transcendental calls and of the
// integrals formed; TRIINT itself uses TriintMath::Vector and all parts.
void triint_with(TriintMath path, const MeshView& mesh, double mu, double snaptol, const int* ltarg,
                 const NearCoef& coef, const TriintWork& work, double normal[3], int es,
                 TriintParts parts = TriintParts::All);

// Entries of a target array padded to whole vector blocks.
inline int triint_padded(int n) {
  return (n + kTriintLanes - 1) / kTriintLanes * kTriintLanes;
}

// Targets shared by the TRIINT calls of several source elements (the
// elements of one cell over one target list): their collocation points,
// gathered once into arrays of triint_padded(n) entries whose padding
// repeats the last target.
struct TriintTargets {
  int n = 0;
  const int* elem = nullptr;  // element whose collocation point is target k (n entries)
  const double* x = nullptr;
  const double* y = nullptr;
  const double* z = nullptr;
};

// Rows of one source element over shared targets, each triint_padded(n)
// entries: the distances to its vertices 1, 2, 3 (triint_node_row) and F
// of its edges 1-2, 2-3, 3-1 (triint_edge_row).  Neighbouring elements
// share the rows of their common nodes and edges.
struct TriintSourceRows {
  const double* r[3];
  const double* f[3];
};

// |A - B| as TRIINT forms an edge's length (the same bits either way round).
double triint_edge_length(const double a[3], const double b[3]);
// r(k) = |x_k - P| for the shared targets.
void triint_node_row(const TriintTargets& targets, const double p[3], double* r);
// F(k) = log((L + rlo(k) + rhi(k)) / (rlo(k) + rhi(k) - L)) for the edge of
// length L whose lower-numbered node has the row rlo.
void triint_edge_row(const TriintTargets& targets, double len, const double* rlo,
                     const double* rhi, double* f);

// TRIINT over shared targets: the same bits in coef as TRIINT with the
// targets' list, and the same normal.  No working state is returned, and
// with TriintParts::StokesletOnly the traction-kernel results are left
// unwritten.  A block of targets with one snapped to a vertex of the source
// forms its own distances and logarithms, as TRIINT does.
void triint_shared(const MeshView& mesh, double mu, double snaptol, const TriintTargets& targets,
                   const TriintSourceRows& rows, const NearCoef& coef, double normal[3], int es,
                   TriintParts parts);

}  // namespace velmora
