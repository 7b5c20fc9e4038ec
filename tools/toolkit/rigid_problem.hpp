// The rigid bodies of a mesh as velmora-rigid and the Python module set
// them up: the checks on each body, the points where the completion's point
// force and torque sit, and the change between those points and the
// reference points of the loads and motions.
//
// Vectors of loads are (F, T) per body with T about the reference point,
// what each body exerts on the fluid; vectors of motions (V, Omega) per body
// with V the velocity of the reference point: 6 entries per body.
#pragma once

#include <functional>
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
  static constexpr int kMaxPoints = 256;
};

// A solver for the set-up: its bodies, centres and points.  In a build with
// MPI its products are split among the run's processes (RigidSolver::
// distribute), which all run the same solves.
std::unique_ptr<RigidSolver> make_solver(const SurfaceMesh& m, const RigidSetup& r,
                                         const RigidControls& ctl);

// Whether this process writes the run's files: rank 0 of a run of several
// processes (the others compute the same results), the only one otherwise.
bool writes_files();

// Throws ToolError "<where>: body K ..." for a body that is not closed or
// whose normals point into the fluid (inside out).
RigidSetup rigid_setup(const SurfaceMesh& m, const std::string& where);

// Loads about the references to loads about the centres,
// T_c = T_p + (p - c) x F.
void loads_to_centres(const RigidSetup& r, const double* loads_ref, double* loads_centre);
// The loads found for the fixed bodies (6 per body at the centres) into
// `loads_ref` at the references, T_p = T_c + (c - p) x F; the entries of
// free bodies are left as they are.
void fixed_loads_to_references(const RigidSetup& r, const std::vector<char>& fixed,
                               const double* loads_centre, double* loads_ref);

// Motions at the centres to motions at the references,
// V_p = V_c + Omega x (p - c).
void motions_to_references(const RigidSetup& r, const double* motion_centre, double* motion_ref);
// The inverse change: the motion of the centres from the references'.
void motions_to_centres(const RigidSetup& r, const double* motion_ref, double* motion_centre);

// The 6F x 6F mobility matrix of the F free bodies (those not `fixed`, in
// body order) about the references (row-major), one mobility solve per
// column; the solves' reports are appended to `reports`.  The solver's
// fixed bodies must be set as `fixed` says.  `on_column(j, n)`, when given,
// is called after column j (1-based) of the n, for progress lines.
std::vector<double> mobility_matrix(
    RigidSolver& solver, const RigidSetup& r, std::vector<SolveReport>& reports,
    const std::vector<char>& fixed = {},
    const std::function<void(std::size_t, std::size_t)>& on_column = {});

}  // namespace velmora::tools

namespace velmora::tools {

// A linear ambient flow u_inf(x) = G x (G row-major, G[3i+j] = dG_i/dx_j).
struct AmbientFlow {
  bool given = false;
  double G[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

// A squirmer's slip about the body's reference point p: with r = x - p,
// cos(theta) = a . r / |r| for the unit axis a,
//   u_s = (B1 sin(theta) + B2 sin(theta) cos(theta)) e_theta
//       = (B1 + B2 cos(theta)) (cos(theta) r/|r| - a),
// projected onto the element's plane (on a sphere it lies in it already).
// A sphere with B1 swims at 2 B1 / 3 along a.
struct Squirmer {
  bool given = false;
  double B1 = 0, B2 = 0;
  Vec3 axis{0, 0, 1};  // unit
};

// g = u_s - u_inf at the collocation points (3 per element, interleaved),
// the surface velocity of the disturbance flow beside the rigid motions;
// squirmers per body (size B, or empty), axes as given.
std::vector<double> surface_velocity(const SurfaceMesh& m, const RigidSetup& r,
                                     const AmbientFlow& flow, const std::vector<Squirmer>& sq);

// The slip alone (u_s, 3 per element), for the surface velocity of the results.
std::vector<double> slip_velocity(const SurfaceMesh& m, const RigidSetup& r,
                                  const std::vector<Squirmer>& sq);

// t += the ambient flow's traction on each element, sigma_inf n with
// sigma_inf = mu (G + G^T) (its pressure taken as zero) and n the unit
// normal into the body, the convention of the solver's t.
void add_ambient_traction(const SurfaceMesh& m, const AmbientFlow& flow, double mu, double* t);

// Each body's stresslet about its reference point (Batchelor 1970): the
// symmetric, traceless part of the first moment of the traction the fluid
// exerts on it (-t), less mu times the symmetric moment of its surface
// velocity u with the outward normal -n (n into the body, as the solver's),
//   S = sym-traceless sum_e A_e [(x_e - p)(-t_e)^T + mu (u_e n_e^T + n_e u_e^T)].
// A rigid motion adds nothing to the second sum on a closed surface, so
// only a slip (null: none) enters it.  A rigid sphere held in a pure strain
// E has S = (20/3) pi mu a^3 E; a squirmer sphere (4/3) pi mu a^2 B2 (3ee - I).
// 9 per body, row-major.
std::vector<double> stresslets(const SurfaceMesh& m, const RigidSetup& r, const double* t,
                               const double* slip = nullptr, double mu = 1.0);

}  // namespace velmora::tools
