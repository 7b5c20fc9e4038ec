// velmora-mesh: model files for velmora from built-in bodies or Gmsh files.
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/mesh_tool.hpp"

int main(int argc, char** argv) {
  return velmora::tools::run_mesh_tool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                       std::cerr);
}
