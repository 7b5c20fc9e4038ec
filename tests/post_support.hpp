// Cases for the tests of velmora-post: a model with its velocities and
// tractions, written as input.dat and as the output.dat the solver would
// write for it (with the solver's own record writers).
#pragma once

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/records.hpp"
#include "run/results.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/post_tool.hpp"

namespace velmora::testing {

inline ToolRun post_tool(const std::vector<std::string>& args) {
  return run_tool(tools::run_post_tool, args);
}

// A model and its solution.  The boundary values written to input.dat are
// taken from u and t as the codes say (code 2: traction, else velocity), so
// that the two files agree as a run leaves them.
struct PostCase {
  tools::Model model;
  std::vector<double> u, t;

  // A mesh with velocity codes on every component.
  void set_mesh(const SurfaceMesh& m, const std::string& title) {
    model.mesh = m;
    model.title = title;
    model.bc.assign(6 * static_cast<std::size_t>(m.nelem), 1.0);
  }

  tools::Model model_with_solution_values() const {
    tools::Model md = model;
    for (int e = 1; e <= md.mesh.nelem; ++e)
      for (int k = 1; k <= 3; ++k) {
        const std::size_t j = 3 * static_cast<std::size_t>(e - 1) + k - 1;
        md.value(e, k) = md.code(e, k) == 2.0 ? t[j] : u[j];
      }
    return md;
  }

  // output.dat as the solver writes it.
  std::string output_dat(int drop_records = 0, bool with_force = true) const {
    const SurfaceMesh& m = model.mesh;
    std::vector<double> xcol(3 * m.nelem);
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    const MeshView v{m.nelem,        m.nnode,     m.ielem.data(),
                     m.xnode.data(), xcol.data(), model.bc.data()};
    std::string s = fmt::A(model.title, 78) + "\n" + fmt::list() + "\n";
    s += fmt::list("Boundary solutions:") + "\n";
    s += fmt::list("(element no., u1, u2, u3, t1, t2, t3, xg1, xg2, xg3)") + "\n" + fmt::list() +
         "\n";
    for (int e = 1; e <= m.nelem - drop_records; ++e)
      s += element_record(e, u.data(), t.data(), v) + "\n";
    if (!with_force) return s;
    const std::array<double, 3> f = total_force(v, t.data());
    s += fmt::list() + "\n" + fmt::list("Total force acting on the body is:") + "\n" +
         fmt::list(f[0], f[1], f[2]) + "\n" + fmt::list() + "\n";
    s += " Total CPU time, wall-clock time used =      0.01 (sec),      0.01 (sec)\n";
    return s;
  }

  void write_input(const ScratchDir& dir, const tools::Model& md) const {
    std::ofstream f(dir / "input.dat");
    tools::write_input_dat(f, md);
  }

  void write(const ScratchDir& dir, int drop_records = 0) const {
    write_input(dir, model_with_solution_values());
    write_file(dir / "output.dat", output_dat(drop_records));
  }
};

// A closed tetrahedron (oriented into the body) and, far from it, a single
// triangle: two bodies.  Tractions: (0,0,1) on the face z = 0, (2,0,0) on
// the face x = 0, (0,1,0) on the lone triangle, zero elsewhere.
struct SmallCase : PostCase {
  SmallCase() {
    SurfaceMesh m;
    m.nnode = 7;
    m.nelem = 5;
    //           1  2  3  4  5  6  7
    m.xnode = {0, 1, 0, 0, 5, 6, 5,   // x
               0, 0, 1, 0, 0, 0, 0,   // y
               0, 0, 0, 1, 0, 0, 1};  // z
    // Faces z = 0, x = 0, y = 0, the slanted face, the lone triangle.
    m.ielem = {1, 1, 1, 2, 5,  //
               2, 3, 4, 4, 6,  //
               3, 4, 2, 3, 7};
    set_mesh(m, "small case");
    t = {0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (int i = 0; i < 15; ++i) u.push_back(0.1 * i - 0.7);
  }
};

}  // namespace velmora::testing
