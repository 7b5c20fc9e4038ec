// BEMSOL, the solution driver.
//
// Called once by the main program after the storage block has been
// allocated and the scalars stored in it (registrations 1..19).  It selects
// the Gauss rule, reads the nodes and elements from the rest of the model
// file (which it closes), computes the collocation points, and then runs the
// solve on the registered arrays of the block.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "common/listread.hpp"
#include "common/storage.hpp"
#include "fmm/engine.hpp"
#include "fmm/field_fmm.hpp"
#include "solver/two_level.hpp"
#include "run/registry.hpp"

namespace velmora {

// Memory the solve may give to the caches of the fast path (the
// preconditioner's LU factors, the near-field blocks): the memory the
// system reports available (MemAvailable; a quarter of the physical memory
// where that is not known), less `still_to_touch` bytes that the run has
// allocated but not yet written, less a margin for the system, the output
// files and the run's smaller arrays (1 GB plus 5 % of the physical
// memory); 0 when nothing is left.
std::size_t cache_budget_bytes(std::size_t still_to_touch = 0);

// The budget of a solve on the block `a` after its mesh and tree are in
// place: cache_budget_bytes less what the block will still take, which is
// the block less the expansion cells beyond the tree's (never touched) and
// less what the process already holds.
std::size_t solve_cache_budget(const Block& a, int ncell, int maxcel, int p);

class FmmEngine;
class FastPrecon;
// Keeps the caches of the fast path that fit `budget` whole: the
// preconditioner's factors first (when `precon` is given), then the
// near-field blocks.  Returns the bytes kept.
std::size_t keep_caches(FmmEngine& engine, FastPrecon* precon, std::size_t budget);

// The trades of the fast path that the programs make (fmm/engine.hpp):
// all on, unless the environment variable VELMORA_EXACT is set to anything
// but "" or "0", which restores the exact operator of the passes (multipole
// translations at the full order, near-field blocks cached in double
// precision).
EngineTrades engine_trades();
// The field's evaluation with the solver's trades of the same environment
// (the translation orders by offset length; off with VELMORA_EXACT=1).
void use_solver_trades(FieldParams& par);

// The fast engine's parameters for the run's control values, Gauss rule
// (weights gwt, area coordinates gpt) and trades.
EngineParams engine_params(const RunScalars& s, const double* gwt, const double* gpt,
                           const EngineTrades& trades);

// How the products and preconditioner requests are served.  By default the
// fast path does both (FmmEngine, FastPrecon: threaded, the same operator to
// rounding and the same preconditioner bit for bit), with caches kept when
// each fits whole in what is left of cache_budget (by default sized from the
// free memory, solve_cache_budget); reference_path uses
// UPWRD, DNWRD and PRECON as they stand.
// Whether the environment leaves the coarse correction on (VELMORA_EXACT and
// VELMORA_COARSE unset or 0, and 1 respectively).
bool coarse_correction_default();
CoarseOptions coarse_options_default();

struct SolveOptions {
  bool reference_path = false;
  EngineTrades trades = engine_trades();
  // The fast path's preconditioner gets a coarse correction on the leaves
  // and their aggregates (solver/two_level.hpp) when the mesh has
  // velocity-prescribed components; off with VELMORA_EXACT=1 or
  // VELMORA_COARSE=0, its leaf cycle on with VELMORA_COARSE=cycle, its linear
  // space with VELMORA_COARSE=linear (VELMORA_SUPPORTS: their cap).
  bool coarse_correction = coarse_correction_default();
  CoarseOptions coarse = coarse_options_default();
  // Bytes for the caches; by default the free memory at the time they are
  // sized (solve_cache_budget).
  static constexpr std::size_t kFromFreeMemory = static_cast<std::size_t>(-1);
  std::size_t cache_budget = kFromFreeMemory;
  // Bodies (from 1, ascending) the model declares to enclose the fluid; the
  // others are solved with the fluid outside them.  Only the orientation
  // check reads it (run/body_checks.hpp): the solve follows the normals.
  std::vector<int> interior;
};

// How the solve ended: the solver's status info(1) (0 converged, -4 not
// converged within the iteration limit, other negative values: the solver
// refused its controls and computed nothing), its iterations info(2), the
// backward error reached rinfo(1) and the tolerance asked for.
struct SolveOutcome {
  int info = 0;
  int iterations = 0;
  double backward_error = 0.0;
  double tol = 0.0;
};

// `dat` is the model file, positioned after its first three records.
SolveOutcome BEMSOL(Block& a, ListReader& dat, const SolveOptions& opt = SolveOptions());

// Fills xnode, ielem and bc of the block (the nodes and elements of the
// model) or stops with a message naming what is wrong.
using MeshSource = std::function<void(Block& a)>;

// What an in-process caller (the Python module) may ask of a solve beside
// the options: a progress report and the solution itself.
struct SolveHooks {
  // Called from the calling thread before every product of the iteration
  // with the products done so far and the solver's latest estimate of the
  // backward error (0 before the first); may throw to abandon the solve.
  std::function<void(int products, double backward_error)> progress;
  // When given, receive the velocities and tractions of every element,
  // interleaved by element (entry 3(e-1)+k is component k of element e), as
  // output.dat gives them: t is the traction the body exerts on the fluid.
  std::vector<double>* velocity = nullptr;
  std::vector<double>* traction = nullptr;
};

// The same solve with the nodes and elements from `mesh` in place of the
// model file.
SolveOutcome BEMSOL(Block& a, const MeshSource& mesh, const SolveOptions& opt,
                    const SolveHooks& hooks = SolveHooks());

// Reads the node and element records (from the heading line before the
// nodes to the last element) into xnode, ielem and bc of the block and
// closes `dat`.  Besides the unreadable items that the reader reports, a
// node or element number outside 1..nnode / 1..nelem, a number given twice,
// a node of an element outside 1..nnode and an element of zero area are
// fatal, each reported with its line.
void read_mesh(Block& a, ListReader& dat);

}  // namespace velmora
