// velmora-rigid --model DIR: the flow of the traction solve written as a
// solved velmora model, so that velmora-field and velmora-post read it as
// they read a run of velmora.
//
// The traction solve is velmora's first-kind equation with every velocity
// prescribed: on body b the disturbance velocity
//   u' = V_b + Omega_b x (x - c_b) + u_slip - u_inf,
// and its solution is the disturbance's traction t' (force per area the
// body exerts on the fluid, the convention of output.dat).  The files are
//   input.cnd   the controls of the run,
//   input.dat   the run's mesh, viscosity, titles and notes, every
//               component with code 1 and the value u',
//   output.dat  u' and t' per element and the total force -sum A t',
// so the field the tools evaluate is the disturbance flow: in an ambient
// flow the whole velocity is u' + u_inf, and the whole pressure differs
// from the disturbance's by the (constant) pressure of the linear flow.
#pragma once

#include <iosfwd>
#include <string>

#include "run/registry.hpp"
#include "toolkit/model_io.hpp"

namespace velmora::tools {

// Why the model files may not go to folder `model_dir` when the run reads
// run_dir/input.cnd and run_dir/input.dat: the same folder, or a file of
// the model that is one of those input files (through links); empty when
// they may.
std::string model_dir_clash(const std::string& model_dir, const std::string& run_dir);

// Writes model_dir/input.cnd, input.dat and output.dat (creating the folder
// when missing) for the run's model `run` and controls, with `velocity` the
// prescribed u' and `traction` the found t' (3 per element, interleaved).
// Each file is written whole through a temporary neighbour; a former
// output.dat goes first, so that a failure part way leaves no results that
// belong to other conditions.  The timing record of output.dat carries
// `cpu_seconds` and `wall_seconds`.  Names the files on `out`.  Throws
// ToolError when a file cannot be written.
void write_rigid_model(const std::string& model_dir, const Model& run, const RunScalars& controls,
                       const double* velocity, const double* traction, double cpu_seconds,
                       double wall_seconds, std::ostream& out);

}  // namespace velmora::tools
