// velmora-field: velocity and pressure of a solved model anywhere in the fluid.
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/field_tool.hpp"

int main(int argc, char** argv) {
  return velmora::tools::run_field_tool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                        std::cerr);
}
