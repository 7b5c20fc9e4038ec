// Checks of the bodies of a model before it is solved, each a warning on
// the console and in output.log (the run goes on):
//  - orientation: a closed body whose normals point out of the region it
//    encloses (signed volume sum x1 . (x2 x x3) / 6 above zero) is solved as
//    a wall with the fluid inside it; unless the model declares it so (its
//    notes name it interior), that is most likely a body whose elements
//    were reversed, and the reverse holds for a declared interior body
//    whose normals point into it;
//  - net flux: inside a closed wall the fluid is enclosed, so the velocity
//    prescribed on all its boundaries must carry no net flux
//    sum_e A_e u_e . n_e (n into the walls, out of the fluid); otherwise no
//    Stokes flow meets the conditions (the solve, augmented for the closed
//    bodies' null space, still converges, to results that describe none);
//  - gaps: two bodies closer than the size of their elements there, where
//    the constant-element solution loses its accuracy.
#pragma once

#include <string>
#include <vector>

#include "bem/bodies.hpp"
#include "bem/mesh.hpp"

namespace velmora {

// Two bodies whose collocation points come within this many element sizes
// sqrt(area) get the gap warning (1.52 sqrt(area) is the edge of the
// equilateral triangle of that area).
inline constexpr double kGapInSizes = 1.52;

// Per body (0-based, as `bodies` numbers them): the signed volume of a
// closed body (0 for an open one).
std::vector<double> body_signed_volumes(const MeshView& mesh, const Bodies& bodies);

// The warning records (empty when there is nothing to say).  `body` counts
// from 1.
std::string orientation_warning(int body, bool declared_interior);
std::string flux_warning(int body, double flux, double share);
std::string gap_warning(int body_a, int body_b, double gap, double size);

// A net flux above this share of sum_e A_e |u_e| is reported.  The
// centroid rule integrates a linear field exactly on flat elements, and a
// smooth profile within its h^2 error, which the two caps of a pipe cancel
// in part: 1e-16 and 1.7e-5 for Poiseuille inflow and outflow on Gmsh's
// cylinders of element sizes 0.2 and 0.14 (radius 1).  A plug inflow with
// the outlet at rest is 1.  (velmora-mesh, which has the expressions,
// judges more sharply.)
inline constexpr double kFluxShare = 1e-3;

// Runs the three checks and writes their warnings.  `interior` lists the
// bodies (from 1) the model declares to enclose the fluid.
void check_bodies(const MeshView& mesh, const Bodies& bodies, const std::vector<int>& interior);

}  // namespace velmora
