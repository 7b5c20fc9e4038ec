// Velmora: a fast multipole boundary element solver for 3-D Stokes flow.
#include "common/comm.hpp"
#include "run/program.hpp"

int main(int argc, char** argv) {
  // The process layer lasts the whole run (MPI builds: mpirun -np P).
  velmora::CommSession session(&argc, &argv);
  return velmora::run_program(argc, argv);
}
