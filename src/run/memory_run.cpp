#include "run/memory_run.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "common/array.hpp"
#include "common/blas.hpp"
#include "common/constants.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "run/program.hpp"

namespace velmora {
namespace {

// The floating-point control word of the calling thread, restored on exit
// (the run flushes subnormals to zero; the caller's own arithmetic need not).
class FloatModeScope {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  FloatModeScope() : csr_(_mm_getcsr()) {}
  ~FloatModeScope() { _mm_setcsr(csr_); }

 private:
  unsigned csr_;
#endif
};

}  // namespace

void fill_mesh(Block& a, const SurfaceMesh& m, const double* bc) {
  const int nelem = m.nelem, nnode = m.nnode;
  std::copy(m.xnode.begin(), m.xnode.end(), a.var<double>(kVarXnode));
  std::copy(bc, bc + 6 * static_cast<std::size_t>(nelem), a.var<double>(kVarBc));
  Mat<int> ielem(a.var<int>(kVarIelem), nelem);
  for (int e = 1; e <= nelem; ++e) {
    int n[3];
    for (int v = 1; v <= 3; ++v) {
      n[v - 1] = m.node(e, v);
      if (n[v - 1] < 1 || n[v - 1] > nnode)
        fatal_stop("node " + std::to_string(v) + " of element " + std::to_string(e) + " is " +
                   std::to_string(n[v - 1]) + ", outside 1.." + std::to_string(nnode));
      ielem(e, v) = n[v - 1];
    }
    // |(x2 - x1) x (x3 - x1)| as the element geometry forms it.
    double d[3], g[3];
    for (int c = 1; c <= 3; ++c) {
      d[c - 1] = m.x(n[1], c) - m.x(n[0], c);
      g[c - 1] = m.x(n[2], c) - m.x(n[0], c);
    }
    const double k1 = d[1] * g[2] - d[2] * g[1];
    const double k2 = d[2] * g[0] - d[0] * g[2];
    const double k3 = d[0] * g[1] - d[1] * g[0];
    if (!(std::sqrt(k1 * k1 + k2 * k2 + k3 * k3) > 0.0))
      fatal_stop("element " + std::to_string(e) + " has zero area (nodes " + std::to_string(n[0]) +
                 ", " + std::to_string(n[1]) + " and " + std::to_string(n[2]) +
                 " coincide or are collinear)");
  }
}

MemoryRunResult run_in_memory(const MemoryModel& model, const SolveOptions& opt,
                              const std::function<void(int, double)>& progress) {
  if (model.mesh == nullptr || model.bc == nullptr) fatal_stop("no mesh or boundary conditions");
  const FloatModeScope float_mode;
  const blas::SingleThreadScope blas_threads;
  start_threads();
  const float t0 = cpu_seconds();
  const float w0 = wall_seconds();

  UnitsGuard guard;
  std::ostringstream log, dat, plt, console, errors;
  Units& io = units();
  io.set_console(&console);
  io.set_error(&errors);
  io.attach(kUnitLog, &log, "output.log");
  io.attach(kUnitOut, &dat, "output.dat");
  io.attach(kUnitPlt, &plt, "output.plt");

  write_banners();
  RunScalars s = model.controls;
  s.nelem = model.mesh->nelem;
  s.nnode = model.mesh->nnode;

  MemoryRunResult r;
  SolveHooks hooks;
  hooks.progress = progress;
  hooks.velocity = &r.velocity;
  hooks.traction = &r.traction;
  // The title as the program reads it from input.dat: the first 78
  // characters of its line, padded to 80.
  std::string title = model.title.substr(0, model.title.find_first_of("\r\n"));
  title.resize(std::min<std::size_t>(78, title.size()));
  title.resize(80, ' ');
  r.outcome = solve_model(
      s, title, [&](Block& a) { fill_mesh(a, *model.mesh, model.bc); }, opt, hooks);
  write_time_used(cpu_seconds() - t0, wall_seconds() - w0);
  r.status = finish_status(r.outcome);
  r.log = log.str();
  r.dat = dat.str();
  r.plt = plt.str();
  r.console = console.str();
  r.errors = errors.str();
  return r;
}

}  // namespace velmora
