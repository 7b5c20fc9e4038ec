// The program entry: runs the batch solve in the current directory and
// returns the process exit status.
#pragma once

namespace velmora {

int run_program(int argc, char** argv);

}  // namespace velmora
