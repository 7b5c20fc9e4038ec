// BEMSOL, the solution driver.
//
// Called once by the main program after the storage block has been
// allocated and the scalars stored in it (registrations 1..19).  It selects
// the Gauss rule, reads the nodes and elements from the rest of the model
// file (which it closes), computes the collocation points, and then runs the
// solve on the registered arrays of the block.
#pragma once

#include <cstddef>

#include "common/listread.hpp"
#include "common/storage.hpp"

namespace velmora {

// Memory the solve may give to the caches of the fast path (the
// preconditioner's LU factors, the near-field blocks): a quarter of the
// machine's physical memory (0 when unknown).
std::size_t cache_budget_bytes();

// How the products and preconditioner requests are served.  By default the
// fast path does both (FmmEngine, FastPrecon: threaded, the same operator to
// rounding and the same preconditioner bit for bit), with caches kept when
// each fits whole in what is left of cache_budget; reference_path uses
// UPWRD, DNWRD and PRECON as they stand.
struct SolveOptions {
  bool reference_path = false;
  std::size_t cache_budget = cache_budget_bytes();
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

// Reads the node and element records (from the heading line before the
// nodes to the last element) into xnode, ielem and bc of the block and
// closes `dat`.  Besides the unreadable items that the reader reports, a
// node or element number outside 1..nnode / 1..nelem, a number given twice,
// a node of an element outside 1..nnode and an element of zero area are
// fatal, each reported with its line.
void read_mesh(Block& a, ListReader& dat);

}  // namespace velmora
