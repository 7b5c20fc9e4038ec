// Rigid bodies in Stokes flow by a completed double layer: the pieces of the
// equation that are not the boundary operator itself (body data, rigid-motion
// projection, point force and point torque per body).
//
// Conventions (those of the boundary operator, src/bem/triint.hpp):
//   r = x - y, x the target (a collocation point, the element centroid),
//   y the source; U = (I/r + r r^T/r^3) / (8 pi mu) is the Stokeslet.
//   Element normal n = (x2 - x1) x (x3 - x1) / |.|, pointing INTO the body.
//   The boundary operator A of the program, with every component of every
//   element traction-prescribed (code 2), is
//     (A phi)(x_i) = 1/2 phi_i + sum_e [integral over e of T(x_i, y) dS_y] phi_e,
//   the element's own integral being 0 on a flat element (r . n = 0 there).
//   Write A = 1/2 I + D.  D is the principal value of the double layer W
//   that enters Green's identity of the exterior flow,
//     u(x) = S[t](x) - W[u](x)  (x in the fluid),  0 = S[t](x) - W[u](x)
//   (x inside a body).  For a rigid motion v: W[v] = v inside, 0 outside, so
//   the limits of W[phi] on the surface are
//     inside:  (1/2 I + D) phi = A phi,
//     outside: (D - 1/2 I) phi = (A - I) phi,
//   and D v = v/2 for every rigid motion v (exact for translations on a
//   closed flat-triangle surface: the solid angle at a centroid is 1/2).
//
// Representation of the flow in the fluid (B bodies, body b with reference
// point c_b inside it, given force F_b and torque T_b about c_b, what the body
// exerts on the fluid):
//     u(x) = W[phi](x) + sum_b [ U(x - c_b) F_b + (T_b x (x - c_b)) / (8 pi mu |x - c_b|^3) ].
// The double layer exerts no force and no torque (its kernel is a symmetric
// force dipole plus a source dipole), so the force and torque of the flow on
// body b are exactly F_b and T_b, whatever phi is; for piecewise-constant phi
// on flat triangles this holds exactly, element by element.
//
// Boundary condition: u = V_b + Omega_b x (x - c_b) on body b.  Let N_b be the
// six rigid motions of body b, m_k = e_k and m_{3+k} = e_k x (x - c_b), and P
// the projection onto them, orthogonal in the area-weighted inner product
//     <a, b> = sum_e A_e a_e . b_e ,
//     P phi = sum_b sum_kl m_k (G_b^-1)_kl <m_l, phi>_b ,  (G_b)_kl = <m_k, m_l>_b .
// Setting the rigid motion of body b to (P phi) restricted to b, the boundary
// condition (A - I) phi + s = P phi, with s the velocity of the point
// singularities at the collocation points, becomes the equation
//     (I - A + P) phi = s ,        (V_b, Omega_b) = G_b^-1 <m, phi>_b .
// It is of the second kind: 1/2 I - D vanishes on the rigid motions (its
// null space, six per body) and is replaced there by P, which is the
// identity on them; the range of 1/2 I - D meets the rigid motions only in 0
// (the surface tractions of the six rigid motions annihilate the range, and
// their pairing with the rigid motions is the resistance matrix, which is
// non-singular), so I - A + P is invertible (Power and Miranda 1987).  After
// discretisation the equation still enforces, at every collocation point, a
// rigid velocity with exactly the given force and torque: nothing relies on
// discrete orthogonality.
//
// Velocity of the reference point and torque about another point p: with
// d = c_b - p, torque about c_b  T_c = T_p + (p - c_b) x F = T_p - d x F, and
// V_p = V_c + Omega x (p - c_b) = V_c - Omega x d.
#pragma once

#include <vector>

#include "bem/mesh.hpp"

namespace velmora {

struct RigidBodies {
  int nelem = 0;
  int nbody = 0;
  std::vector<int> body;         // body 1..nbody of element e at body[e-1]
  std::vector<double> centre;    // c_b at 3(b-1)..3(b-1)+2
  std::vector<double> area;      // A_e
  std::vector<double> col;       // collocation point, 3 per element, interleaved
  std::vector<double> gram_inv;  // G_b^-1, 36 per body, row-major
  std::vector<double> body_area; // sum of A_e over body b
  // Where the point force and torque of body b sit: the K points
  // point[3j .. 3j+2], j = point_first[b-1] .. point_first[b]-1, each with
  // the force F_b / K + w x d_j and the torque (T_b - J w) / K (below).
  // Their mean is c_b, so sum_j d_j = 0: the forces add to F_b, their
  // torque about c_b is J w, and the loads about c_b are exactly (F_b, T_b).
  // One point, c_b itself, unless others are given.
  std::vector<int> point_first;
  std::vector<double> point;
  // For a body of several points, how its torque is carried (9 per body,
  // row-major; zero for one point): with lever arms d_j = y_j - c_b and
  // J = sum_j (|d_j|^2 I - d_j d_j^T), the forces w x d_j with w = J^+ T
  // (lever_inv = J^+) carry the share J J^+ T (lever_share) of T, and the
  // rest is spread as rotlets.  A torque on a ring or a helix is thus borne
  // by forces along it, as the body's own traction bears it, not by
  // rotlets within its thin tube, whose velocity near the wall the double
  // layer resolves only on fine meshes (a helical tube 0.2 across: rotation
  // mobility a quarter of the first kind's with rotlets alone).
  std::vector<double> lever_inv, lever_share;
};

// The bodies of a mesh: body[e-1] in 1..nbody for every element, and a
// reference point inside each body (centres, 3 per body).  Throws
// std::invalid_argument when a body has no elements or a singular Gram
// matrix (fewer than three non-collinear elements).
RigidBodies make_rigid_bodies(const MeshView& mesh, const int* body, int nbody,
                              const double* centres);

// The same with several points per body (point_first: nbody + 1 offsets
// into points, 3 per point); centres must be the means of the points.
RigidBodies make_rigid_bodies(const MeshView& mesh, const int* body, int nbody,
                              const double* centres, const std::vector<int>& point_first,
                              const std::vector<double>& points);

// coef (6 per body: V then Omega) = G_b^-1 <m, x>_b; x interleaved by element.
void rigid_coefficients(const RigidBodies& rb, const double* x, double* coef);

// y += the rigid motions of coef (6 per body) at the collocation points.
void add_rigid_motion(const RigidBodies& rb, const double* coef, double* y);

// y += velocity at every collocation point of the Stokeslet F_b and the rotlet
// T_b placed at c_b of every body, loads holding (F_b, T_b) 6 per body.
void add_point_singularities(const RigidBodies& rb, double mu, const double* loads, double* y);

// The same for the listed bodies only (1-based), the others' loads unread.
void add_point_singularities(const RigidBodies& rb, double mu, const double* loads, double* y,
                             const std::vector<int>& bodies);

// Dense solve of the 6B x 6B (or any n x n) system a x = b in place (a
// row-major, overwritten); false when singular.
bool dense_solve(int n, std::vector<double> a, double* b);

}  // namespace velmora
