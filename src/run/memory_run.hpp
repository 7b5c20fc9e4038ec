// A run of a model held in memory, for callers inside the process (the
// Python module): the program's run without its files.
//
// The records of output.log, output.dat and output.plt are kept as text and
// are the bytes the program writes for the same input (the timing line and
// the memory report aside, which depend on the machine); the console's
// records are kept as well.  Fatal conditions raise StopRun with the
// program's message and nothing is written to the process's streams.
#pragma once

#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "run/bemsol.hpp"
#include "run/registry.hpp"

namespace velmora {

struct MemoryModel {
  // The two title lines of input.dat; the first is echoed as the program
  // echoes it.
  std::string title = "Velmora run";
  // Control values as input.cnd gives them, and mu; nelem and nnode are
  // taken from the mesh.
  RunScalars controls;
  // Oriented as the solver expects (normals into the bodies).
  const SurfaceMesh* mesh = nullptr;
  // nelem x 6, column-major: the three codes (2 a traction, anything else a
  // velocity), then the three values.
  const double* bc = nullptr;
};

struct MemoryRunResult {
  SolveOutcome outcome;
  int status = 0;  // the program's exit status: 0, 3 (not converged) or 1
  // Interleaved by element, as output.dat gives them.
  std::vector<double> velocity, traction;
  std::string log, dat, plt, console, errors;
};

// Runs the model.  progress, when given, is called as SolveHooks::progress
// is.  The calling thread's floating-point mode and the BLAS thread count
// are restored on return.  Not reentrant: one run at a time per process
// (the unit table is process-wide).
MemoryRunResult run_in_memory(const MemoryModel& model, const SolveOptions& opt = SolveOptions(),
                              const std::function<void(int, double)>& progress = {});

// The nodes, elements and boundary conditions into the block, with the
// checks of the model file that concern their values: node numbers in
// 1..nnode and no element of zero area (StopRun naming the element).
void fill_mesh(Block& a, const SurfaceMesh& mesh, const double* bc);

}  // namespace velmora
