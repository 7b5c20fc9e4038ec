// The program entry: runs the batch solve in the current directory and
// returns the process exit status.
#pragma once

#include <string>

#include "common/listread.hpp"
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

}  // namespace velmora
