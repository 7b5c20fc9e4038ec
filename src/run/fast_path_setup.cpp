// The fast path's set-up for a solve: the memory budget of its caches and
// which caches it keeps, the engine's parameters and trades, and the
// defaults that the environment sets (VELMORA_EXACT, VELMORA_COARSE,
// VELMORA_AGGREGATES).  Declared in run/bemsol.hpp.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/large_array.hpp"
#include "common/process_memory.hpp"
#include "fmm/engine.hpp"
#include "fmm/expansion.hpp"
#include "run/bemsol.hpp"
#include "solver/fast_precon.hpp"
#include "solver/two_level.hpp"

namespace velmora {

std::size_t cache_budget_bytes(std::size_t still_to_touch) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  const double total = static_cast<double>(pages) * static_cast<double>(page);
  double available = static_cast<double>(proc_kb_entry("/proc/meminfo", "MemAvailable"));
  if (available < 0.0) available = total / 4;
  available += static_cast<double>(large_kept_bytes());
  const double budget =
      available - static_cast<double>(still_to_touch) - (1.0e9 + 0.05 * total);
  return budget > 0.0 ? static_cast<std::size_t>(budget) : 0;
}

std::size_t solve_cache_budget(const Block& a, int ncell, int maxcel, int p) {
  const double block = 16.0 * static_cast<double>(a.units_registered());
  // Two expansion arrays of maxcel cells, of which the tree's cells are
  // used in the half layout of 4(p+1)(p+2) doubles.
  const double untouched =
      2.0 * (16.0 * static_cast<double>(ExpanView<Complex>::cell_size(p)) * maxcel -
             8.0 * 4.0 * (p + 1) * (p + 2) * ncell);
  const double held = std::max<double>(0.0, static_cast<double>(proc_kb_entry("/proc/self/status", "VmRSS")));
  const double to_touch = std::max(0.0, block - std::max(0.0, untouched) - held);
  return cache_budget_bytes(static_cast<std::size_t>(to_touch));
}

std::size_t keep_caches(FmmEngine& engine, FastPrecon* precon, std::size_t budget) {
  std::size_t kept = 0;
  if (precon != nullptr && precon->factor_cache_bytes() <= budget) {
    precon->enable_factor_cache();
    budget -= precon->factor_cache_bytes();
    kept += precon->factor_cache_bytes();
  }
  if (engine.near_cache_bytes() <= budget) {
    engine.enable_near_cache();
    kept += engine.near_cache_bytes();
  }
  return kept;
}

EngineParams engine_params(const RunScalars& s, const double* gwt, const double* gpt,
                           const EngineTrades& trades) {
  EngineParams par;
  par.mu = s.mu;
  par.snaptol = s.snaptol;
  par.minlev = s.minlev;
  par.maxl = s.maxl;
  par.p = s.nexp;
  par.ngauss = s.ngauss;
  par.gwt = gwt;
  par.gpt = gpt;
  par.trades = trades;
  return par;
}

// Whether VELMORA_EXACT asks for the exact path (set, not empty and not 0).
static bool exact_path_asked() {
  const char* v = std::getenv("VELMORA_EXACT");
  return v != nullptr && v[0] != '\0' && std::string(v) != "0";
}

EngineTrades engine_trades() {
  const bool exact = exact_path_asked();
  EngineTrades t;
  t.m2l_order_by_distance = !exact;
  t.single_precision_near_cache = !exact;
  return t;
}

void use_solver_trades(FieldParams& par) {
  const EngineTrades t = engine_trades();
  par.m2l_order_by_distance = t.m2l_order_by_distance;
  par.m2l_order = t.m2l_order;
}

bool coarse_correction_default() {
  const char* coarse = std::getenv("VELMORA_COARSE");
  const bool off = coarse != nullptr && std::string(coarse) == "0";
  return !exact_path_asked() && !off;
}

CoarseOptions coarse_options_default() {
  CoarseOptions o;
  const char* coarse = std::getenv("VELMORA_COARSE");
  o.leaf_cycle = coarse != nullptr && std::string(coarse) == "cycle";
  if (coarse != nullptr && std::string(coarse) == "linear") o.basis = CoarseOptions::Basis::kLinear;
  // VELMORA_SUPPORTS=N: at most N supports of the linear space.
  if (const char* cap = std::getenv("VELMORA_SUPPORTS")) {
    const long v = std::strtol(cap, nullptr, 10);
    if (v > 0 && v <= 1000000) o.max_supports = static_cast<int>(v);
  }
  // VELMORA_AGGREGATES=N: at most N aggregates (measurements of the trade
  // between the coarse problem's size and the iteration count).
  if (const char* cap = std::getenv("VELMORA_AGGREGATES")) {
    const long v = std::strtol(cap, nullptr, 10);
    if (v > 0 && v <= 1000000) o.max_aggregates = static_cast<int>(v);
  }
  return o;
}

}  // namespace velmora
