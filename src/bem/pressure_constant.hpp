// The constant c of the null vector t + c n on each treated closed body
// (null_space.hpp), set by the condition that the pressure of the exterior
// flow vanishes at infinity.
//
// Conventions: element normal n into the body; t = sigma n and u are the
// traction and velocity on each element (constant per element); the source
// flow of a unit point source at x0 inside body B is
//   u_s(y) = r / |r|^3,  r = y - x0,  p_s = 0,
//   sigma_s n = 2 mu (n / |r|^3 - 3 r (r . n) / |r|^5),
// a Stokes flow (a potential flow) with flux 4 pi, no force and no torque on
// any surface around x0.  The reciprocal theorem over the fluid, with both
// flows decaying at infinity, gives over every surface of the mesh
//   sum_e  t_e . I_e  =  sum_e  u_e . J_e,
//   I_e = integral over e of u_s,   J_e = integral over e of sigma_s n,
// where the J term is taken on closed bodies only (on an open screen the
// velocities of its two sides are the same and their source tractions
// cancel).  Of t + c n the added part contributes c sum_{e in B} n_e . I_e =
// -4 pi c (the flux of the source out through the surface, against n), so
//   c_B = (sum_e u_e . J_e - sum_e t_e . I_e) / (sum_{e in B} n_e . I_e).
// For a rigid motion the right side's J term is zero, and on the sphere the
// exact traction -3 mu U / (2 a) gives zero for the source at the centre.
//
// A treated body whose normals point out of it (a container, the fluid
// inside it) has no condition at infinity: its pressure is fixed up to a
// constant by the flow itself, and the area-mean normal traction is set to
// zero.  Containers are done first: the source of a body inside a container
// sends its flux through the container's wall.
//
// The integrals I_e and J_e are taken by the 7-point Gauss rule, on the
// element split into four (recursively) while it is larger than a quarter
// of its distance from x0, and by the centroid alone beyond 20 element diameters.
#pragma once

#include <vector>

#include "bem/bodies.hpp"
#include "bem/mesh.hpp"
#include "bem/null_space.hpp"

namespace velmora {

struct PressureConstant {
  double c = 0.0;            // added: t -> t + c n
  bool container = false;    // set by the zero area-mean normal traction
  bool source_found = true;  // false: no interior point; c as for a container
  double source[3] = {0.0, 0.0, 0.0};
};

// Sets c on every treated body of `ns` and adds c n to the tractions t of its
// carried components.  u and t hold the velocity and traction of every
// element (3 per element, interleaved); u is read only.  Returns one entry
// per treated body, in the order of ns.treated().
std::vector<PressureConstant> fix_pressure_constants(const MeshView& mesh, const Bodies& bodies,
                                                     const ClosedBodyNullSpace& ns, double mu,
                                                     const double* u, double* t);

// The two integrals of one element for the source at x0 (exposed for tests).
void source_integrals(const MeshView& mesh, int e, const double x0[3], double mu, double i_e[3],
                      double j_e[3]);

}  // namespace velmora
