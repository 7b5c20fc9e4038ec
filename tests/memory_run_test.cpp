// The run in memory (run/memory_run.hpp) against the program on the same
// model: the same records, the solution arrays before their formatting,
// stops raised with the program's message and nothing written to the
// process's streams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "common/stop.hpp"
#include "run/memory_run.hpp"
#include "stop_record.hpp"
#include "velmora_run.hpp"

namespace velmora {
namespace {

// The records that do not depend on the machine (timing and memory lines out).
std::vector<std::string> steady_lines(const std::string& text) {
  std::vector<std::string> keep;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.find("time used") == std::string::npos && line.find(" Mb") == std::string::npos)
      keep.push_back(line);
  return keep;
}

RunScalars controls(int m, int ncycle, double tol) {
  RunScalars s;
  s.mu = 1.0;
  s.snaptol = 1e-8;
  s.m = m;
  s.iprec = 1;
  s.ncycle = ncycle;
  s.tol = tol;
  s.maxdep = 12;
  s.minlev = 2;
  s.maxl = 40;
  s.maxcel = 500;
  s.nexp = 8;
  s.ngauss = 7;
  s.cubfac = 1.01;
  return s;
}

std::vector<double> translating_bc(int nelem) {
  std::vector<double> bc(6 * static_cast<std::size_t>(nelem), 0.0);
  for (int e = 0; e < nelem; ++e)
    for (int k = 0; k < 3; ++k) {
      bc[e + k * static_cast<std::size_t>(nelem)] = 1.0;
      bc[e + (k + 3) * static_cast<std::size_t>(nelem)] = k == 0 ? 1.0 : 0.0;
    }
  return bc;
}

// Same model, same bits: output.dat, output.log and output.plt as the program
// writes them, the console's records, and arrays equal to the records.
TEST(MemoryRun, EqualsTheProgram) {
  const SurfaceMesh mesh = icosphere(2, 1.0);
  testing::ScratchDir dir("memory_run");
  testing::write_translating(dir, mesh);
  testing::write_controls(dir, 30, 1, 10, "1e-6", 12, 500, 8);
  const testing::ProgramRun prog = testing::run_velmora(dir);
  ASSERT_EQ(prog.status, 0) << prog.err;

  const std::vector<double> bc = translating_bc(mesh.nelem);
  MemoryModel model;
  model.title = "translating body";
  model.controls = controls(30, 10, 1e-6);
  model.mesh = &mesh;
  model.bc = bc.data();
  std::vector<int> products;
  const MemoryRunResult r =
      run_in_memory(model, SolveOptions(), [&](int k, double) { products.push_back(k); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(steady_lines(r.dat), steady_lines(testing::read_file(dir / "output.dat")));
  EXPECT_EQ(steady_lines(r.log), steady_lines(testing::read_file(dir / "output.log")));
  EXPECT_EQ(r.plt, testing::read_file(dir / "output.plt"));
  EXPECT_EQ(steady_lines(r.console), steady_lines(prog.out));
  EXPECT_EQ(r.errors, "");
  // One progress call per product of the iteration, counted from 0.
  ASSERT_GE(static_cast<int>(products.size()), r.outcome.iterations);
  for (std::size_t i = 0; i < products.size(); ++i) EXPECT_EQ(products[i], static_cast<int>(i));
  // The traction of element 1 is its record's, to the record's 12 digits,
  // and its velocity the prescribed one.
  std::istringstream dat(r.dat);
  std::string line;
  while (std::getline(dat, line) && line.find("(element no.") == std::string::npos) {
  }
  std::getline(dat, line);
  std::getline(dat, line);
  std::istringstream rec(line);
  int e = 0;
  double v[6];
  rec >> e >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5];
  ASSERT_EQ(e, 1);
  EXPECT_EQ(r.velocity[0], 1.0);
  EXPECT_EQ(r.velocity[1], 0.0);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(r.traction[k], v[3 + k], 1e-11 * std::abs(v[3]));
}

// Stopped at the iteration limit: status 3, the program's console line, results kept.
TEST(MemoryRun, NotConvergedIsStatusThree) {
  const SurfaceMesh mesh = icosphere(1, 1.0);
  const std::vector<double> bc = translating_bc(mesh.nelem);
  MemoryModel model;
  model.controls = controls(2, 1, 1e-14);
  model.mesh = &mesh;
  model.bc = bc.data();
  const MemoryRunResult r = run_in_memory(model);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.outcome.iterations, 2);
  EXPECT_NE(r.console.find(" Not converged: GMRES stopped after 2 iterations"), std::string::npos);
  EXPECT_EQ(r.traction.size(), 3u * mesh.nelem);
}

// Bad models raise with the message and write nothing to the process's streams.
TEST(MemoryRun, StopsRaiseTheMessage) {
  SurfaceMesh mesh = icosphere(1, 1.0);
  const std::vector<double> bc = translating_bc(mesh.nelem);
  MemoryModel model;
  model.controls = controls(30, 10, 1e-6);
  model.mesh = &mesh;
  model.bc = bc.data();
  model.controls.ngauss = 5;
  EXPECT_EQ(test::stop_record([&] { run_in_memory(model); }),
            " Invalid parameter --> ngauss; stop\n");
  model.controls.ngauss = 7;
  // Element 3's third node moved onto its first: zero area.
  mesh.ielem[2 + 2 * mesh.nelem] = mesh.ielem[2];
  EXPECT_EQ(test::stop_record([&] { run_in_memory(model); }).rfind("element 3 has zero area", 0),
            0u);
  mesh.ielem[2] = mesh.nnode + 1;
  EXPECT_EQ(test::stop_record([&] { run_in_memory(model); }),
            "node 1 of element 3 is 43, outside 1..42\n");
}

}  // namespace
}  // namespace velmora
