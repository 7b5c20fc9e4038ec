#include "run/sanity.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "common/constants.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"

namespace velmora {

std::string g3(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

void warn(const std::string& record) {
  if (record.empty()) return;
  units().write_console(record);
  units().write(kUnitLog, record);
}

namespace {

// The stop record goes to output.log as well, where the run's history ends.
[[noreturn]] void stop_before_results(const std::string& record) {
  if (units().attached(kUnitLog)) units().write(kUnitLog, record);
  fatal_stop(record);
}

}  // namespace

std::string edge_warning(const EdgeFaults& f) {
  if (f.at_fault() == 0) return {};
  return " Warning: " + std::to_string(f.at_fault()) + " of the " + std::to_string(f.edges) +
         " edges of the mesh are at fault (" + std::to_string(f.open) + " open, " +
         std::to_string(f.nonmanifold) + " shared by three or more elements, " +
         std::to_string(f.inconsistent) +
         " run the same way by both elements): the surface is not closed and consistently "
         "oriented, as the boundary integral equation assumes";
}

std::string facing_warning(std::int64_t pairs) {
  if (pairs == 0) return {};
  return " Warning: " + std::to_string(pairs) + " pairs of elements face each other closer than " +
         g3(100.0 * kFacingFraction) +
         " % of their size (a body of almost no thickness or surfaces almost in contact); the "
         "solution may be inaccurate or fail";
}

MeshFindings check_mesh(const MeshView& mesh) {
  MeshFindings f;
  f.edges = count_edge_faults(mesh.nelem, mesh.ielem);
  f.facing_pairs = count_facing_pairs(mesh, kFacingFraction);
  std::vector<double> size;
  size.reserve(mesh.nelem);
  for (int e = 1; e <= mesh.nelem; ++e) {
    const double h = std::sqrt(element_geometry(mesh, e).area);
    if (std::isfinite(h)) size.push_back(h);
  }
  if (!size.empty()) {
    const auto mid = size.begin() + static_cast<long>(size.size() / 2);
    std::nth_element(size.begin(), mid, size.end());
    f.typical_size = *mid;
  }
  warn(edge_warning(f.edges));
  warn(facing_warning(f.facing_pairs));
  return f;
}

NonFinite find_non_finite(const double* v, std::int64_t n) {
  NonFinite r;
  for (std::int64_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) {
      if (r.count == 0) r.first = i;
      ++r.count;
    }
  return r;
}

std::string likely_cause(SolveStage stage, const MeshFindings& mesh, double mu,
                         double largest_value) {
  // Single-layer entries are of the order h / (8 pi mu) for elements of size
  // h; far outside the double range their products and the preconditioner's
  // pivots under- or overflow.
  const double scale = mesh.typical_size / (8.0 * kPi * mu);
  if (!(scale > 1e-200))
    return "an underflowing viscosity scale (h / (8 pi mu) = " + g3(scale) +
           " with mu = " + g3(mu) + ")";
  if (!(scale < 1e200))
    return "an overflowing viscosity scale (h / (8 pi mu) = " + g3(scale) + " with mu = " + g3(mu) +
           ")";
  if (stage == SolveStage::kRightHandSide && !(largest_value < 1e150))
    return "prescribed values too large (largest " + g3(largest_value) + ")";
  if (mesh.facing_pairs > 0)
    return "a body of almost no thickness (" + std::to_string(mesh.facing_pairs) +
           " pairs of facing elements almost on top of each other)";
  if (stage == SolveStage::kProduct || stage == SolveStage::kRightHandSide)
    return "the element integrals of a degenerate mesh (elements of almost no area or crossing "
           "each other)";
  return "a nearly singular leaf block of the preconditioner (iprec 0 runs without it)";
}

std::string non_finite_record(SolveStage stage, const NonFinite& bad, std::int64_t n,
                              const std::string& cause) {
  static const char* const kWhat[5] = {
      "The right-hand side holds ", "The product with the operator gave ",
      "The preconditioner gave ", "The GMRES iteration produced ", "The solution holds "};
  const std::int64_t element = bad.first / 3 + 1;
  return std::string(" ") + kWhat[static_cast<int>(stage)] + std::to_string(bad.count) + " of " +
         std::to_string(n) + " values not finite (NaN or Inf), the first at element " +
         std::to_string(element) + "; most likely cause: " + cause + "; no results written; stop";
}

void require_finite(SolveStage stage, const double* v, std::int64_t n, const MeshFindings& mesh,
                    double mu, double largest_value) {
  const NonFinite bad = find_non_finite(v, n);
  if (bad.count == 0) return;
  const std::string record =
      non_finite_record(stage, bad, n, likely_cause(stage, mesh, mu, largest_value));
  stop_before_results(record);
}

void require_nonzero_solution(const double* x, const double* b, std::int64_t n,
                              const MeshFindings& mesh, double mu) {
  double bmax = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    if (x[i] != 0.0) return;
    bmax = std::max(bmax, std::fabs(b[i]));
  }
  if (bmax == 0.0) return;
  const std::string record =
      " The solution is zero although the right-hand side is not (largest entry " + g3(bmax) +
      "); most likely cause: " + likely_cause(SolveStage::kSolution, mesh, mu, 0.0) +
      "; no results written; stop";
  stop_before_results(record);
}

}  // namespace velmora
