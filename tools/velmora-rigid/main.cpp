// velmora-rigid: mobility and resistance of rigid bodies.
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/rigid_tool.hpp"

int main(int argc, char** argv) {
  return velmora::tools::run_rigid_tool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                        std::cerr);
}
