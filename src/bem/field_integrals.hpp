// Element integrals of the flow in the fluid: the velocity and pressure that
// one flat triangle with constant velocity u and traction t contributes at
// points that are not collocation points.
//
// Conventions (those of the solver):
//   r = x - y, x the field point, y a point of the element, r = |r|;
//   n the element's unit normal (x2 - x1) x (x3 - x1) / |.|, pointing into
//     the body (out of the fluid);
//   t the traction of output.dat: t = sigma . n, the force per area the body
//     exerts on the fluid (the force on the body is -sum A t);
//   U_ij = (delta_ij / r + r_i r_j / r^3) / (8 pi mu),
//   T_ij = (3 / (4 pi)) r_i r_j (r . n) / r^5.
// Representation of the flow at a point x of the fluid:
//   u_i(x) = sum_e int_e (U_ij t_j - T_ij u_j) dS,
//   p(x)   = sum_e int_e [ (r . t) / (4 pi r^3)
//                          - (mu / (2 pi)) (3 (r . u)(r . n) / r^5 - (u . n) / r^3) ] dS,
// the pressure kernels being those of the Stokeslet and of the double layer
// (mu grad^2 u = grad p term by term).  The solver's equation is the limit of
// sum int (T u - U t) = 0 from the side n points to (the element's own
// traction integral is +1/2 I there), so the same sums vanish inside a body;
// crossing into the fluid the double layer jumps by -u, which makes the sums
// above the fluid's velocity (docs/field.md has the derivation).
// Winding number: sum_e int_e T_ij dS = delta_ij w(x) over closed bodies,
// w = 1 inside a body and 0 in the fluid, so
//   w(x) = sum_e int_e T_11 dS.
#pragma once

#include <vector>

#include "bem/mesh.hpp"
#include "bem/triint.hpp"

namespace velmora {

// The densities of element e: u and t, interleaved by element (entry
// 3(e-1)+k is component k of element e).
struct FieldDensities {
  const double* u = nullptr;
  const double* t = nullptr;
};

// Working storage of the velocity integrals over a list of at most
// kFieldChunk points.
inline constexpr int kFieldChunk = 512;
struct FieldScratch {
  FieldScratch();
  std::vector<double> reals;
  std::vector<int> ints;
  std::vector<double> x, y, z, rows;
  std::vector<int> elem;  // zeros: no target is a collocation point
  NearCoef coef{};
  TriintWork work{};
};

// For the n <= kFieldChunk points (px, py, pz) and source element e, by the
// closed-form integrals of TRIINT (exact at any distance):
//   vel[3k+i] += int_e (U_ij t_j - T_ij u_j) dS,  wind[k] += int_e T_11 dS.
// wind may be null.
void element_velocity_add(const MeshView& mesh, double mu, double snaptol, int e,
                          const double u[3], const double t[3], int n, const double* px,
                          const double* py, const double* pz, FieldScratch& s, double* vel,
                          double* wind);

// The pressure integral of element e at x (formula above), by the 16-point
// rule on the element split recursively into four until each piece lies
// farther than kPressureRatio times its radius (largest distance of a vertex
// from its centroid) from x, at most kPressureDepth times; a piece farther
// than kPressureFar radii takes the 7-point rule (degree 5: relative error
// about (1/8)^6 = 4e-6, as the 16-point rule's (1/4)^9).
inline constexpr double kPressureRatio = 4.0;
inline constexpr double kPressureFar = 8.0;
inline constexpr int kPressureDepth = 40;
double element_pressure(const MeshView& mesh, double mu, int e, const double u[3],
                        const double t[3], const double x[3]);
// The same for the points idx[0..m) of (px, py, pz): pres[idx[k]] += integral.
void element_pressure_add(const MeshView& mesh, double mu, int e, const double u[3],
                          const double t[3], int m, const int* idx, const double* px,
                          const double* py, const double* pz, double* pres);

// Squared distance from x to the triangle of element e.
double element_distance2(const MeshView& mesh, int e, const double x[3]);
// For the n points (px, py, pz): d2[k] = min(d2[k], squared distance to the
// triangle of e), computed only where it can fall below `bound` (points
// farther than that from the element's bounding sphere are left alone).
void element_distance2_min(const MeshView& mesh, int e, int n, const double* px,
                           const double* py, const double* pz, double bound, double* d2);

// The winding number of the fluid: 0 for flow outside closed bodies
// (normals into the bodies, w = 1 inside each); -1 when the mesh holds a
// container (normals out of the enclosed fluid, positive total signed
// volume sum x1 . (x2 x x3) / 6): then w = -1 in the fluid, and 0 both
// outside the container and inside the bodies within it.
double fluid_winding(const MeshView& mesh);

// Whether a point of winding number w lies outside the fluid.
inline bool outside_fluid(double w, double fluid_w) {
  return w - fluid_w > 0.5 || w - fluid_w < -0.5;
}

// The plain direct sum over all elements at each of n points (xyz, 3 per
// point): velocity (3 per point) and pressure by the integrals above, the
// winding number, and inside[k] = 1 for a point outside the fluid (in a
// body, or outside a container: outside_fluid) or within snaptol of an
// element, whose velocity and pressure are then 0.
// The reference the fast evaluation is tested against.
void field_direct(const MeshView& mesh, double mu, double snaptol, const FieldDensities& d,
                  int n, const double* xyz, double* vel, double* pres, int* inside);

}  // namespace velmora
