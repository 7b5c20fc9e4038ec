#include "run/program.hpp"

namespace velmora {

int run_program(int, char**) { return 0; }

}  // namespace velmora
