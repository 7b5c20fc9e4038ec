// velmora-rigid's time stepping (--steps N --dt DT): the bodies' positions
// and orientations integrated in time (rigid/dynamics.hpp), the mesh moved
// rigidly, and one mobility solve per step on the moved mesh.
//
// Files in the run's folder, each rewritten whole (through a neighbour
// renamed over it) after every step, so that a stop or a kill leaves every
// step so far and never half a row:
//   trajectory.csv  step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz
//                   one row per body per step from step 0; x the reference
//                   point, v its velocity, w the angular velocity
//   rigid.pvd       with --pvd: the ParaView collection of rigid_NNNNN.vtu,
//                   one surface per step (velocity: rigid motion plus slip)
#pragma once

#include <array>

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "rigid/dynamics.hpp"
#include "toolkit/rigid_problem.hpp"

namespace velmora::tools {

struct StepRequest {
  const SurfaceMesh* mesh = nullptr;  // the initial configuration
  const RigidSetup* setup = nullptr;  // its bodies, centres, points, references
  RigidControls controls;
  std::vector<double> loads;          // 6 per body about the references, lab frame
  std::vector<Squirmer> squirmers;    // per body (or empty); axes turn with the bodies
  AmbientFlow flow;
  std::vector<char> fixed;            // per body (or empty)
  std::vector<double> motion0;        // 6 per body at the references: step 0's motion
  std::vector<double> density0;       // with motion0: the density it was found with
  // With motion0: the templates of its solver (RigidSolver::congruent_templates),
  // built from step 0's bodies for steps + 2 solves; null: the first solve builds them.
  std::shared_ptr<const CongruentTemplates> templates;
  int steps = 0;
  double dt = 0.0;
  bool pvd = false;
  std::string dir = ".";
  // Two bodies whose surfaces come closer than this fraction of the smaller
  // of their element sizes (sqrt of the mean element area) stop the run.
  static constexpr double kGapFraction = 0.1;
};

// One step's configuration and motion, as integrate_steps reports them.
struct StepView {
  int step = 0;
  double time = 0.0;
  const std::vector<BodyState>* state = nullptr;
  const std::vector<double>* motion = nullptr;  // 6 per body at the references
  // The moved mesh, set-up and squirmers of this step, formed on request.
  std::function<void(SurfaceMesh&, RigidSetup&, std::vector<Squirmer>&)> configuration;
};

// Integrates, calling on_step for step 0 and after every step.  Returns 0,
// or 3 when a solve did not converge.  Bodies too close throw ToolError
// naming the step and the bodies.
int integrate_steps(const StepRequest& req, const std::function<void(const StepView&)>& on_step);

// Integrates and writes the files; the names of the files written go to
// `out`, a progress line per step (elapsed and remaining time, flushed) to
// `progress` when given.  Returns 0, or 3 when a solve did not converge
// (the run goes on).  Bodies too close throw ToolError naming the step and
// the bodies, after the files hold every step before it.
int run_time_steps(const StepRequest& req, std::ostream& out, std::ostream* progress = nullptr);

// The closest pair of bodies whose surfaces are nearer than kGapFraction of
// their element sizes: {a, b, gap, size} with a < b (1-based), or a = 0
// when none is.
struct CloseBodies {
  int a = 0, b = 0;
  double gap = 0.0, size = 0.0;
};
CloseBodies closest_bodies(const SurfaceMesh& m, const Bodies& bodies, double fraction);

// The first pair of bodies (from 1, a < b) of which one holds a node of the
// other inside it (winding number), or {0, 0}: bodies that a step carried
// into each other.  Pairs whose boxes do not meet are not tested.
std::array<int, 2> overlapping_bodies(const SurfaceMesh& m, const Bodies& bodies);

}  // namespace velmora::tools
