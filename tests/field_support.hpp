// Models for the tests of the field evaluation: a surface mesh with the
// arrays a MeshView needs, and the exact Stokes flows around a sphere.
#pragma once

#include <array>
#include <cmath>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"

namespace velmora::testing {

struct FieldModel {
  SurfaceMesh m;
  std::vector<double> xcol, bc;
  explicit FieldModel(SurfaceMesh mesh) : m(std::move(mesh)) {
    xcol.resize(3 * static_cast<std::size_t>(m.nelem));
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    bc.assign(6 * static_cast<std::size_t>(m.nelem), 1.0);
  }
  MeshView view() const { return view_of(m, xcol.data(), bc.data()); }
  // Longest edge.
  double h() const {
    double best = 0;
    for (int e = 1; e <= m.nelem; ++e)
      for (int v = 1; v <= 3; ++v) {
        double s = 0;
        for (int c = 1; c <= 3; ++c) {
          const double d = m.x(m.node(e, v), c) - m.x(m.node(e, v % 3 + 1), c);
          s += d * d;
        }
        best = std::max(best, std::sqrt(s));
      }
    return best;
  }
};

// Translating sphere (radius a about the origin, velocity U, viscosity mu):
//   u = (3a/4)(U/r + (U.x)x/r^3) + (a^3/4)(U/r^3 - 3(U.x)x/r^5),
//   p = (3 mu a / 2)(U.x)/r^3,
// surface traction (force on the fluid) t = 3 mu U / (2a).
inline void translating_sphere(double a, double mu, const double U[3], const double x[3],
                               double u[3], double& p) {
  const double r = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
  const double ux = U[0] * x[0] + U[1] * x[1] + U[2] * x[2];
  for (int i = 0; i < 3; ++i)
    u[i] = 0.75 * a * (U[i] / r + ux * x[i] / (r * r * r)) +
           0.25 * a * a * a * (U[i] / (r * r * r) - 3.0 * ux * x[i] / std::pow(r, 5));
  p = 1.5 * mu * a * ux / (r * r * r);
}

// Rotating sphere: u = Omega x x a^3 / r^3, p = 0; surface traction (force
// on the fluid) t = 3 mu (Omega x x) / a.
inline void rotating_sphere(double a, const double W[3], const double x[3], double u[3]) {
  const double r = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
  const double c[3] = {W[1] * x[2] - W[2] * x[1], W[2] * x[0] - W[0] * x[2],
                       W[0] * x[1] - W[1] * x[0]};
  for (int i = 0; i < 3; ++i) u[i] = c[i] * a * a * a / (r * r * r);
}

}  // namespace velmora::testing
