#include "run/cli.hpp"

#include <sstream>
#include <string_view>

#include "common/units.hpp"

namespace velmora {

std::string usage_text() {
  return "Usage: velmora [--help | --version]\n"
         "\n"
         "Velmora solves a 3-D Stokes flow problem by the boundary element method\n"
         "with fast multipole acceleration.  It takes no arguments: it works in the\n"
         "current directory.\n"
         "\n"
         "Files read:\n"
         "  input.cnd    control parameters (octree, expansions, quadrature, GMRES)\n"
         "  input.dat    title, viscosity, nodes, triangles and boundary conditions\n"
         "Files written:\n"
         "  output.log   run log: parameters, tree, solver history and report\n"
         "  output.dat   velocity and traction of every element, total force\n"
         "  output.plt   Tecplot surface file with nodal averages\n"
         "\n"
         "Options:\n"
         "  --help       print this text\n"
         "  --version    print the version\n"
         "\n"
         "Environment:\n"
         "  OMP_NUM_THREADS  threads of the products and the preconditioner (the\n"
         "                   results are the same bits for any number)\n"
         "  VELMORA_EXACT=1  the exact fast path: every multipole translation at the\n"
         "                   full order nexp and the near-field blocks cached in\n"
         "                   double precision (by default longer translations use\n"
         "                   lower orders and the cache single precision, which\n"
         "                   changes the product far less than nexp's truncation);\n"
         "                   also leaves out the coarse correction\n"
         "  VELMORA_COARSE=0  the preconditioner without its coarse correction (the\n"
         "                   leaves' blocks alone); =cycle solves the coarse problem\n"
         "                   by a cycle over the leaves and their aggregates; =linear\n"
         "                   takes constant and linear tractions on larger supports\n"
         "                   (VELMORA_SUPPORTS=N: at most N of them)\n"
         "  VELMORA_HUGE_PAGES=0  the caches mapped without the transparent huge\n"
         "                   page advice (measurements of their first touch)\n"
         "\n"
         "Exit status:\n"
         "  0  the solve converged; results written\n"
         "  1  fatal stop: bad input, a file that cannot be written, a solve the\n"
         "     solver refused (its status is in output.log)\n"
         "  2  usage: an unknown argument\n"
         "  3  GMRES stopped at its iteration limit above the tolerance; results\n"
         "     written, the console's last line gives the backward error reached\n"
         "\n"
         "Companion tools (built next to velmora; each has --help):\n"
         "  velmora-mesh    input.dat and input.cnd from a built-in shape or a file\n"
         "  velmora-post    forces and torques per body, output.vtu for ParaView\n"
         "  velmora-field   velocity and pressure at points in the fluid\n"
         "  velmora-rigid   rigid bodies: motion under loads, resistance, time steps\n"
         "  import velmora  the Python module: meshes, solves and bodies from numpy";
}

std::optional<int> handle_arguments(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  Units& io = units();
  const std::string_view arg = argv[1];
  auto lines = [](auto write, const std::string& text) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) write(l);
  };
  if (argc == 2 && (arg == "--help" || arg == "-h")) {
    lines([&](const std::string& l) { io.write_console(l); }, usage_text());
    return 0;
  }
  if (argc == 2 && arg == "--version") {
    io.write_console(std::string("velmora ") + VELMORA_VERSION);
    return 0;
  }
  std::string bad;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a != "--help" && a != "-h" && a != "--version") {
      bad = argv[i];
      break;
    }
  }
  io.write_error(bad.empty() ? std::string("velmora: give one option at a time")
                             : "velmora: unknown argument '" + bad + "'");
  lines([&](const std::string& l) { io.write_error(l); }, usage_text());
  return 2;
}

}  // namespace velmora
