// Time integration of rigid bodies: positions and orientations (unit
// quaternions) under velocities that a solver finds for each configuration.
//
// Conventions: body b's state is the position X_b of its reference point
// and the unit quaternion q_b = (w, x, y, z) that turns the body from its
// initial orientation, x = X_b + R(q_b) y for a body-fixed offset y.  Its
// motion is (V_b, Omega_b): V_b the velocity of X_b, Omega_b the angular
// velocity in the lab frame, dq/dt = (1/2) (0, Omega) q.
//
// The scheme is the second-order Adams-Bashforth method on the Lie group:
//   X_{n+1} = X_n + dt (3/2 V_n - 1/2 V_{n-1}),
//   q_{n+1} = exp(dt (3/2 Omega_n - 1/2 Omega_{n-1})) q_n,
// with exp(theta) the quaternion of the rotation by |theta| about theta.
// Its first step is the explicit midpoint rule, which needs the motion at
// the midpoint configuration as well:
//   X_1 = X_0 + dt V(X_{1/2}, q_{1/2}),   q_1 = exp(dt Omega_{1/2}) q_0,
//   X_{1/2} = X_0 + dt/2 V_0,             q_{1/2} = exp(dt/2 Omega_0) q_0.
// Both are second order: the Magnus series of exp(int Omega) differs from
// the exponential of the mean angular velocity by commutators of O(dt^3)
// per step.  One velocity evaluation per step after the first (two there).
// docs/rigid.md states the scheme; the tests measure its order.
#pragma once

#include <array>
#include <functional>
#include <vector>

namespace velmora {

using Quaternion = std::array<double, 4>;  // (w, x, y, z)

// The product a b (the rotation b, then a).
Quaternion quaternion_product(const Quaternion& a, const Quaternion& b);
// The unit quaternion of the rotation by |theta| about theta.
Quaternion quaternion_exp(const double theta[3]);
// y = R(q) x.
void rotate(const Quaternion& q, const double x[3], double y[3]);

struct BodyState {
  std::array<double, 3> x{0, 0, 0};
  Quaternion q{1, 0, 0, 0};
};

// 6 per body: V, then Omega.
using MotionOf = std::function<void(const std::vector<BodyState>& state, std::vector<double>& motion)>;

class RigidIntegrator {
 public:
  RigidIntegrator(std::vector<BodyState> initial, double dt);
  // The configuration of step n and its motion (set by step() or given).
  const std::vector<BodyState>& state() const { return state_; }
  int step_count() const { return step_; }
  double time() const { return step_ * dt_; }
  // The motion at the current configuration: computed on the first call of
  // step() if not given here.
  void set_motion(const std::vector<double>& motion);
  const std::vector<double>& motion() const { return motion_; }
  // Advances one step; `motion_of` is called once (twice on the first
  // step), and once more for the motion of the new configuration.
  void step(const MotionOf& motion_of);

 private:
  std::vector<BodyState> state_;
  std::vector<double> motion_, previous_;
  double dt_;
  int step_ = 0;
  bool have_motion_ = false;
};

// The state advanced by dt with the given motion: X + dt V, exp(dt Omega) q.
std::vector<BodyState> advanced(const std::vector<BodyState>& s, const std::vector<double>& motion,
                                double dt);

}  // namespace velmora
