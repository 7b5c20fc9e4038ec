// Runs of the velmora executable on models written by the test: a translating
// sphere's model files and the run's status, console and error stream.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "bem/shapes.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"

namespace velmora::testing {

struct ProgramRun {
  int status = -1;
  std::string out, err;
};

inline ProgramRun run_velmora(const ScratchDir& dir) {
  const std::string cmd = "cd '" + dir.path().string() + "' && '" + std::string(VELMORA_EXE) +
                          "' > stdout.txt 2> stderr.txt";
  const int rc = std::system(cmd.c_str());
  ProgramRun r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = read_file(dir / "stdout.txt");
  r.err = read_file(dir / "stderr.txt");
  return r;
}

// input.dat of `mesh` with every component's velocity prescribed as (1, 0, 0).
inline void write_translating(const ScratchDir& dir, const SurfaceMesh& mesh) {
  tools::Model model;
  model.title = "translating body";
  model.subtitle = "test model";
  model.mesh = mesh;
  model.bc.assign(6 * static_cast<std::size_t>(mesh.nelem), 0.0);
  for (int e = 1; e <= mesh.nelem; ++e)
    for (int k = 1; k <= 3; ++k) {
      model.code(e, k) = 1.0;
      model.value(e, k) = k == 1 ? 1.0 : 0.0;
    }
  std::ofstream f(dir / "input.dat");
  tools::write_input_dat(f, model);
}

// input.cnd with the given restart, preconditioning, cycles, tolerance, tree
// sizes and expansion terms (snaptol 1e-8, minlev 2, maxl 40, ngauss 7, cubfac 1.01).
inline void write_controls(const ScratchDir& dir, int m, int iprec, int ncycle,
                           const std::string& tol, int maxdep, int maxcel, int nexp) {
  write_file(dir / "input.cnd", "1e-8 " + std::to_string(m) + " 0 0 " + std::to_string(iprec) +
                                    " " + std::to_string(ncycle) + " " + tol + "\n" +
                                    std::to_string(maxdep) + " 2 40 " + std::to_string(maxcel) +
                                    " " + std::to_string(nexp) + " 7 1.01\n");
}

}  // namespace velmora::testing
