// The program entry: runs the batch solve in the current directory and
// returns the process exit status.
#pragma once

#include <string>

#include "common/listread.hpp"
#include "run/bemsol.hpp"
#include "run/registry.hpp"

namespace velmora {

int run_program(int argc, char** argv);

// The start-up steps of the run, callable on their own (tests, fuzzing).
// The two reads of input.cnd into s (the reader is left open).
void read_control(ListReader& cnd, RunScalars& s);
// The title (returned, 80 characters), the second title line and the read
// of nelem, nnode and mu from the head of input.dat.
std::string read_model_head(ListReader& dat, RunScalars& s);
// The parameter checks that come before anything is sized: the
// " Invalid parameter --> name; stop" stops and the 32-bit size limits
// (run/limits.hpp).  Sets s.lwork.
void check_parameters(RunScalars& s);

// The run after input.cnd and the head of input.dat have been read into s:
// the echo of the title and the control values (console and output.log),
// the parameter checks, the storage block and its report, and the solve
// (BEMSOL) on the nodes and elements that `mesh` fills in.  The units of
// output.log, output.dat and output.plt must be attached.
SolveOutcome solve_model(RunScalars& s, const std::string& title, const MeshSource& mesh,
                         const SolveOptions& opt, const SolveHooks& hooks = SolveHooks());

// The pieces of the run around it.
// Starts the OpenMP team with subnormals flushed to zero in every thread (and
// in the calling one), so that the threads agree bit for bit.
void start_threads();
// Processor seconds of the process; wall-clock seconds since the first call.
float cpu_seconds();
float wall_seconds();
// The banner, on output.log and then on the console.
void write_banners();
// The timing line of the console, output.log and output.dat.
void write_time_used(float cpu_seconds, float wall_seconds);
// That line's text.
std::string time_used_record(float cpu_seconds, float wall_seconds);
// The exit status of a run that reached its end, with one console line when
// the solve did not deliver a converged solution: 3 for a solve stopped at
// its iteration limit (its results are written), 1 for a solve the solver
// refused (its status is in output.log).
int finish_status(const SolveOutcome& outcome);

}  // namespace velmora
