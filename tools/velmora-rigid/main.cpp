// velmora-rigid: mobility and resistance of rigid bodies.
#include <iostream>
#include <string>
#include <vector>

#include "common/comm.hpp"
#include "toolkit/rigid_tool.hpp"

int main(int argc, char** argv) {
  // Runs on one process: started by mpirun with several, rank 0 says so and
  // every rank ends with status 2 before any file is written.
  velmora::CommSession session(&argc, &argv);
  const velmora::Comm& comm = velmora::Comm::world();
  if (comm.distributed()) {
    if (comm.rank() == 0)
      std::cerr << "velmora-rigid: runs on one process; started with " << comm.size()
                << " (mpirun -np 1, or velmora for the distributed solve)\n";
    return 2;
  }
  return velmora::tools::run_rigid_tool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                        std::cerr);
}
