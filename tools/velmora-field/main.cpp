// velmora-field: velocity and pressure of a solved model anywhere in the fluid.
//
// Started by mpirun with several processes (a build with MPI), every process
// reads the same files and evaluates its share of the points; rank 0 alone
// speaks and writes the file.
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/comm.hpp"
#include "toolkit/field_tool.hpp"

int main(int argc, char** argv) {
  velmora::CommSession session(&argc, &argv);
  const velmora::Comm& comm = velmora::Comm::world();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (comm.rank() == 0) {
    const int status = velmora::tools::run_field_tool(args, std::cout, std::cerr);
    return status == 1 || status == 2 ? velmora::stop_together(comm, status, "") : status;
  }
  // The others keep their messages: given only when this process stopped
  // alone, so that no message is given twice.
  std::ostringstream kept;
  const int status = velmora::tools::run_field_tool(args, velmora::discard_stream(), kept);
  return status == 1 || status == 2 ? velmora::stop_together(comm, status, kept.str()) : status;
}
