#include "run/results.hpp"

#include <vector>

#include "common/constants.hpp"
#include "common/records.hpp"
#include "common/units.hpp"

namespace velmora {

std::array<std::string, 3> solution_head_records() {
  return {fmt::list("Boundary solutions:"),
          fmt::list("(element no., u1, u2, u3, t1, t2, t3, xg1, xg2, xg3)"), fmt::list()};
}

void write_solution_head() {
  for (const std::string& r : solution_head_records()) units().write(kUnitOut, r);
}

std::string element_record(int e, const double* uvec, const double* tvec, const MeshView& mesh) {
  std::string r = fmt::I(e, 8);
  const long base = 3L * (e - 1);
  for (int k = 0; k < 3; ++k) r += fmt::E(uvec[base + k], 21, 12);
  for (int k = 0; k < 3; ++k) r += fmt::E(tvec[base + k], 21, 12);
  for (int c = 1; c <= 3; ++c) r += fmt::E(mesh.col(e, c), 21, 12);
  return r;
}

std::array<double, 3> total_force(const MeshView& mesh, const double* tvec) {
  std::array<double, 3> f{0.0, 0.0, 0.0};
  for (int e = 1; e <= mesh.nelem; ++e) {
    const double area = element_geometry(mesh, e).area;
    for (int k = 0; k < 3; ++k) f[k] = f[k] - area * tvec[3L * (e - 1) + k];
  }
  return f;
}

std::array<std::string, 3> total_force_records(const std::array<double, 3>& f) {
  return {fmt::list(), fmt::list("Total force acting on the body is:"),
          fmt::list(f[0], f[1], f[2])};
}

void write_total_force(const std::array<double, 3>& f, bool solved) {
  Units& io = units();
  for (const std::string& r : total_force_records(f)) {
    if (solved) io.write_console(r);
    io.write(kUnitLog, r);
    io.write(kUnitOut, r);
  }
}

void TECOUT(int nelem, int nnode, const double* xnode, const int* ielem, const double* u,
            const double* t) {
  std::vector<double> ubar(3 * static_cast<std::size_t>(nnode), 0.0);
  std::vector<double> tbar(3 * static_cast<std::size_t>(nnode), 0.0);
  std::vector<int> cnt(nnode, 0);
  const long ne = nelem, nn = nnode;
  for (long e = 0; e < ne; ++e) {
    for (int v = 0; v < 3; ++v) {
      const long n = ielem[e + v * ne] - 1;
      cnt[n] += 1;
      for (int k = 0; k < 3; ++k) {
        ubar[3 * n + k] += u[3 * e + k];
        tbar[3 * n + k] += t[3 * e + k];
      }
    }
  }
  for (long n = 0; n < nn; ++n) {
    if (cnt[n] == 0) continue;
    for (int k = 0; k < 3; ++k) {
      ubar[3 * n + k] /= cnt[n];
      tbar[3 * n + k] /= cnt[n];
    }
  }
  Units& io = units();
  io.write(kUnitPlt, fmt::list("TITLE = \"A Model for Stokes Flow Analysis\" "));
  io.write(kUnitPlt, fmt::list("VARIABLES = \"X\", \"Y\", \"Z\", \"u\", \"v\", \"w\", ",
                               "\"t_x\", \"t_y\", \"t_z\" "));
  io.write(kUnitPlt,
           fmt::list("ZONE DATAPACKING=POINT, ZONETYPE=FETRIANGLE,N=", nnode, ",E=", nelem));
  for (long n = 0; n < nn; ++n) {
    std::string r1, r2;
    for (int c = 0; c < 3; ++c) r1 += fmt::E(xnode[n + c * nn], 15, 7);
    for (int k = 0; k < 3; ++k) r2 += fmt::E(ubar[3 * n + k], 15, 7);
    for (int k = 0; k < 3; ++k) r2 += fmt::E(tbar[3 * n + k], 15, 7);
    io.write(kUnitPlt, r1);
    io.write(kUnitPlt, r2);
  }
  io.write(kUnitPlt, fmt::list());
  for (long e = 0; e < ne; ++e)
    io.write(kUnitPlt,
             fmt::I(ielem[e], 15) + fmt::I(ielem[e + ne], 15) + fmt::I(ielem[e + 2 * ne], 15));
}

}  // namespace velmora
