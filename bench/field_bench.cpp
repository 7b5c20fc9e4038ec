// Speed of the field evaluation: points spread uniformly over the cube
// [-2, 2]^3 around a unit sphere (geodesic mesh of frequency K, 20 K^2
// triangles) carrying the exact surface velocity and traction of a
// translating sphere.  Prints one line per (mesh, points): the tree, the
// times of its phases (wall-clock seconds), the processor seconds of the
// whole evaluation (all threads), the near-field pairs and the
// largest error against the exact flow at the points outside 1.05 a.
//
//   build/bench/field_bench [--nexp P] [--maxl L] [--maxp M] K:N [K:N ...]
//
// e.g. 71:1000000 for 1M points around 100,820 triangles.
#include <omp.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "fmm/field_fmm.hpp"

int main(int argc, char** argv) {
  using namespace velmora;
  FieldParams par;
  par.p = 8;
  par.maxl = 40;
  par.maxp = 64;
  par.snaptol = 1e-10;
  std::vector<std::pair<int, long>> runs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--nexp" && i + 1 < argc) {
      par.p = std::atoi(argv[++i]);
    } else if (a == "--maxl" && i + 1 < argc) {
      par.maxl = std::atoi(argv[++i]);
    } else if (a == "--maxp" && i + 1 < argc) {
      par.maxp = std::atoi(argv[++i]);
    } else {
      const auto c = a.find(':');
      runs.emplace_back(std::atoi(a.substr(0, c).c_str()), std::atol(a.substr(c + 1).c_str()));
    }
  }
  if (runs.empty()) runs = {{16, 100000}, {32, 100000}, {71, 100000}, {71, 1000000}};
  std::printf("threads %d, nexp %d, maxl %d, maxp %d\n", omp_get_max_threads(), par.p, par.maxl,
              par.maxp);
  std::printf("%9s %9s %8s %6s %7s %8s %8s %8s %8s %9s %8s %11s %9s\n", "elements", "points",
              "cells", "levels", "leaves", "tree s", "expand s", "local s", "eval s", "total s",
              "cpu s", "near pairs", "max err");
  for (const auto& [K, npts] : runs) {
    const SurfaceMesh m = geodesic_sphere(K, 1.0);
    std::vector<double> xcol(3 * static_cast<std::size_t>(m.nelem));
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    std::vector<double> bc(6 * static_cast<std::size_t>(m.nelem), 1.0);
    const MeshView mv = view_of(m, xcol.data(), bc.data());
    const double U[3] = {1.0, 0.0, 0.0};
    std::vector<double> u(3 * static_cast<std::size_t>(m.nelem)), t(u.size());
    for (int e = 0; e < m.nelem; ++e)
      for (int k = 0; k < 3; ++k) {
        u[3 * e + k] = U[k];
        t[3 * e + k] = 1.5 * U[k];
      }
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> uni(-2.0, 2.0);
    const int n = static_cast<int>(npts);
    std::vector<double> xyz(3 * static_cast<std::size_t>(n));
    for (double& v : xyz) v = uni(rng);
    std::vector<double> vel(3 * static_cast<std::size_t>(n)), pres(n);
    std::vector<int> inside(n);
    FieldStats st;
    timespec c0{}, c1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    const double t0 = omp_get_wtime();
    field_fast(mv, par, FieldDensities{u.data(), t.data()}, n, xyz.data(), vel.data(), pres.data(),
               inside.data(), {}, &st);
    const double total = omp_get_wtime() - t0;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    const double cpu = (c1.tv_sec - c0.tv_sec) + 1e-9 * (c1.tv_nsec - c0.tv_nsec);
    double err = 0.0;
    for (int k = 0; k < n; ++k) {
      const double* x = &xyz[3 * static_cast<std::size_t>(k)];
      const double r = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
      if (r < 1.05) continue;
      const double ux = x[0];
      for (int i = 0; i < 3; ++i) {
        const double ue = 0.75 * (U[i] / r + ux * x[i] / (r * r * r)) +
                          0.25 * (U[i] / (r * r * r) - 3.0 * ux * x[i] / std::pow(r, 5));
        err = std::max(err, std::fabs(vel[3 * static_cast<std::size_t>(k) + i] - ue));
      }
    }
    std::printf("%9d %9d %8d %6d %7d %8.2f %8.2f %8.2f %8.2f %9.2f %8.2f %11lld %9.2e\n",
                m.nelem, n, st.cells, st.levels, st.target_leaves, st.t_tree, st.t_moments,
                st.t_local, st.t_eval, total, cpu, static_cast<long long>(st.near_pairs), err);
    std::fflush(stdout);
  }
  return 0;
}
