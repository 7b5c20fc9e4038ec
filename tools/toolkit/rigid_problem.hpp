// The rigid bodies of a mesh as velmora-rigid and the Python module set
// them up: the checks on each body, the points where the completion's point
// force and torque sit, and the change between those points and the
// reference points of the loads and motions.
//
// Vectors of loads are (F, T) per body with T about the reference point,
// what each body exerts on the fluid; vectors of motions (V, Omega) per body
// with V the velocity of the reference point: 6 entries per body.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rigid/rigid_solver.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

struct RigidSetup {
  Bodies bodies;
  std::vector<BodyGeometry> geometry;
  // 3 per body: where the point force and torque sit: the volume centroid
  // when it lies well inside, else the interior point farthest from the
  // surface among the candidates of bem/interior_point.
  std::vector<double> centres;
  std::vector<Vec3> reference;  // 1 per body: the centroid unless changed
  // The points inside each body where its point force and torque sit, in
  // equal shares (RigidBodies::point_first, point): the centroid alone for
  // a body it lies well inside; for others (a torus, a helix, a box with
  // holes) up to kMaxPoints interior points spread through the body, at
  // least two clearances apart, and the body's centre is their mean.
  std::vector<int> point_first;
  std::vector<double> points;
  static constexpr int kMaxPoints = 16;
};

// A solver for the set-up: its bodies, centres and points.
std::unique_ptr<RigidSolver> make_solver(const SurfaceMesh& m, const RigidSetup& r,
                                         const RigidControls& ctl);

// Throws ToolError "<where>: body K ..." for a body that is not closed or
// whose normals point into the fluid (inside out).
RigidSetup rigid_setup(const SurfaceMesh& m, const std::string& where);

// Loads about the references to loads about the centres,
// T_c = T_p + (p - c) x F.
void loads_to_centres(const RigidSetup& r, const double* loads_ref, double* loads_centre);
// Motions at the centres to motions at the references,
// V_p = V_c + Omega x (p - c).
void motions_to_references(const RigidSetup& r, const double* motion_centre, double* motion_ref);
// The inverse change: the motion of the centres from the references'.
void motions_to_centres(const RigidSetup& r, const double* motion_ref, double* motion_centre);

// The 6B x 6B mobility matrix about the references (row-major), one
// mobility solve per column; the solves' reports are appended to `reports`.
std::vector<double> mobility_matrix(RigidSolver& solver, const RigidSetup& r,
                                    std::vector<SolveReport>& reports);

}  // namespace velmora::tools
