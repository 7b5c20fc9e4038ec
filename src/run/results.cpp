#include "run/results.hpp"

#include <algorithm>
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

namespace {

void append_element_record(std::string& r, int e, const double* uvec, const double* tvec,
                           const MeshView& mesh) {
  fmt::append_I(r, e, 8);
  const long base = 3L * (e - 1);
  for (int k = 0; k < 3; ++k) fmt::append_E(r, uvec[base + k], 21, 12);
  for (int k = 0; k < 3; ++k) fmt::append_E(r, tvec[base + k], 21, 12);
  for (int c = 1; c <= 3; ++c) fmt::append_E(r, mesh.col(e, c), 21, 12);
}

}  // namespace

std::string element_record(int e, const double* uvec, const double* tvec, const MeshView& mesh) {
  std::string r;
  append_element_record(r, e, uvec, tvec, mesh);
  return r;
}

void write_in_pieces(long count, const std::function<void(std::string&, long)>& record,
                     const std::function<void(std::string_view)>& sink) {
  // Pieces of 2,048 records, 64 pieces formatted at a time: a few tens of
  // megabytes held, whatever the count.
  constexpr long kPiece = 2048, kRound = 64;
  std::vector<std::string> text(kRound);
  for (long first = 0; first < count; first += kPiece * kRound) {
    const long pieces = std::min(kRound, (count - first + kPiece - 1) / kPiece);
#pragma omp parallel for schedule(dynamic, 1)
    for (long q = 0; q < pieces; ++q) {
      std::string& t = text[q];
      t.clear();
      const long a = first + q * kPiece, b = std::min(count, a + kPiece);
      for (long i = a; i < b; ++i) {
        record(t, i);
        t += '\n';
      }
    }
    for (long q = 0; q < pieces; ++q) sink(text[q]);
  }
}

void write_element_records(int unit, const double* uvec, const double* tvec, const MeshView& mesh) {
  Units& io = units();
  write_in_pieces(
      mesh.nelem,
      [&](std::string& t, long i) { append_element_record(t, static_cast<int>(i + 1), uvec, tvec, mesh); },
      [&](std::string_view t) { io.write(unit, t.substr(0, t.size() - 1)); });
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
  const auto sink = [&](std::string_view t) { io.write(kUnitPlt, t.substr(0, t.size() - 1)); };
  io.write(kUnitPlt, fmt::list("TITLE = \"A Model for Stokes Flow Analysis\" "));
  io.write(kUnitPlt, fmt::list("VARIABLES = \"X\", \"Y\", \"Z\", \"u\", \"v\", \"w\", ",
                               "\"t_x\", \"t_y\", \"t_z\" "));
  io.write(kUnitPlt,
           fmt::list("ZONE DATAPACKING=POINT, ZONETYPE=FETRIANGLE,N=", nnode, ",E=", nelem));
  // Two records per node: its position, then its values.
  write_in_pieces(
      nn,
      [&](std::string& t, long n) {
        for (int c = 0; c < 3; ++c) fmt::append_E(t, xnode[n + c * nn], 15, 7);
        t += '\n';
        for (int k = 0; k < 3; ++k) fmt::append_E(t, ubar[3 * n + k], 15, 7);
        for (int k = 0; k < 3; ++k) fmt::append_E(t, tbar[3 * n + k], 15, 7);
      },
      sink);
  io.write(kUnitPlt, fmt::list());
  write_in_pieces(
      ne,
      [&](std::string& t, long e) {
        for (int v = 0; v < 3; ++v) fmt::append_I(t, ielem[e + v * ne], 15);
      },
      sink);
}

}  // namespace velmora
