// velmora-post: forces, torques and a ParaView file from a velmora run.
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/post_tool.hpp"

int main(int argc, char** argv) {
  return velmora::tools::run_post_tool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                       std::cerr);
}
