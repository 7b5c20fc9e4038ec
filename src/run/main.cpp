// Velmora: a fast multipole boundary element solver for 3-D Stokes flow.
#include "run/program.hpp"

int main(int argc, char** argv) {
  return velmora::run_program(argc, argv);
}
