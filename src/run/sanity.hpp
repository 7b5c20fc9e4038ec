// Checks that keep a run from handing out results that are not results:
// the mesh once after reading (warnings, the run goes on), and the vectors
// of the solve for non-finite values (a fatal stop naming what was found
// and its most likely cause).
#pragma once

#include <cstdint>
#include <string>

#include "bem/mesh.hpp"
#include "bem/mesh_check.hpp"

namespace velmora {

// Two facing elements count as the faces of a body of almost no thickness
// when their collocation points are closer than this fraction of the
// smaller element's size sqrt(area).
inline constexpr double kFacingFraction = 1e-2;

// What the mesh checks found, kept to explain a failed solve.
struct MeshFindings {
  EdgeFaults edges;
  std::int64_t facing_pairs = 0;
  double typical_size = 0.0;  // median of sqrt(area) over the elements
};

// Writes a warning record to the console and output.log (nothing when it
// is empty).
void warn(const std::string& record);
// v with three significant digits (%.3g), for the warnings' figures.
std::string g3(double v);

// Checks the mesh (edges, facing elements) and writes one warning record
// per kind of fault found to the console and output.log.
MeshFindings check_mesh(const MeshView& mesh);

// The warning records of check_mesh (empty when there is nothing to say).
std::string edge_warning(const EdgeFaults& f);
std::string facing_warning(std::int64_t pairs);

// Where a vector of the solve was checked.
// kIteration: a vector the solver handed over for a product or the
// preconditioner was itself not finite (its own arithmetic broke down).
enum class SolveStage { kRightHandSide, kProduct, kPreconditioner, kIteration, kSolution };

// Non-finite entries of v[0..n): how many and the (zero-based) first.
struct NonFinite {
  std::int64_t count = 0;
  std::int64_t first = -1;
};
NonFinite find_non_finite(const double* v, std::int64_t n);

// The most likely origin of non-finite values met at `stage`, as a phrase:
// a viscosity scale typical_size / (8 pi mu) that under- or overflows, a body
// of almost no thickness, a nearly singular leaf block of the
// preconditioner, or (from the right-hand side) prescribed values too large.
std::string likely_cause(SolveStage stage, const MeshFindings& mesh, double mu,
                         double largest_value);

// The stop record for `bad` non-finite entries of a vector of `n`
// interleaved unknowns (three per element) met at `stage`.
std::string non_finite_record(SolveStage stage, const NonFinite& bad, std::int64_t n,
                              const std::string& cause);

// When v[0..n) holds a non-finite value: writes the stop record to
// output.log and stops the run (status 1) before any result is written.
void require_finite(SolveStage stage, const double* v, std::int64_t n, const MeshFindings& mesh,
                    double mu, double largest_value);

// When x[0..n) is zero throughout although b[0..n) is not (no solution of
// A x = b is zero then; a preconditioner whose output underflows to zero
// ends the solve that way): writes the stop record to output.log and stops
// the run (status 1) before any result is written.
void require_nonzero_solution(const double* x, const double* b, std::int64_t n,
                              const MeshFindings& mesh, double mu);

}  // namespace velmora
