#include "rigid/dynamics.hpp"

#include <cmath>
#include <stdexcept>

namespace velmora {

Quaternion quaternion_product(const Quaternion& a, const Quaternion& b) {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

Quaternion quaternion_exp(const double th[3]) {
  const double a = std::sqrt(th[0] * th[0] + th[1] * th[1] + th[2] * th[2]);
  if (a == 0.0) return {1, 0, 0, 0};
  // sin(a/2)/a, with its series where a is tiny.
  const double s = a < 1e-6 ? 0.5 - a * a / 48.0 : std::sin(0.5 * a) / a;
  return {std::cos(0.5 * a), s * th[0], s * th[1], s * th[2]};
}

void rotate(const Quaternion& q, const double x[3], double y[3]) {
  // y = x + 2 w (u x x) + 2 u x (u x x), u the vector part.
  const double u[3] = {q[1], q[2], q[3]};
  const double t[3] = {2 * (u[1] * x[2] - u[2] * x[1]), 2 * (u[2] * x[0] - u[0] * x[2]),
                       2 * (u[0] * x[1] - u[1] * x[0])};
  y[0] = x[0] + q[0] * t[0] + (u[1] * t[2] - u[2] * t[1]);
  y[1] = x[1] + q[0] * t[1] + (u[2] * t[0] - u[0] * t[2]);
  y[2] = x[2] + q[0] * t[2] + (u[0] * t[1] - u[1] * t[0]);
}

std::vector<BodyState> advanced(const std::vector<BodyState>& s, const std::vector<double>& motion,
                                double dt) {
  if (motion.size() != 6 * s.size()) throw std::invalid_argument("motion of the wrong size");
  std::vector<BodyState> n = s;
  for (std::size_t b = 0; b < s.size(); ++b) {
    const double* m = &motion[6 * b];
    for (int c = 0; c < 3; ++c) n[b].x[c] = s[b].x[c] + dt * m[c];
    const double th[3] = {dt * m[3], dt * m[4], dt * m[5]};
    Quaternion q = quaternion_product(quaternion_exp(th), s[b].q);
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (double& v : q) v /= len;
    n[b].q = q;
  }
  return n;
}

RigidIntegrator::RigidIntegrator(std::vector<BodyState> initial, double dt)
    : state_(std::move(initial)), dt_(dt) {
  if (!(dt > 0.0) || !std::isfinite(dt)) throw std::invalid_argument("the time step must be positive");
}

void RigidIntegrator::set_motion(const std::vector<double>& motion) {
  if (motion.size() != 6 * state_.size()) throw std::invalid_argument("motion of the wrong size");
  motion_ = motion;
  have_motion_ = true;
}

void RigidIntegrator::step(const MotionOf& motion_of) {
  if (!have_motion_) {
    motion_of(state_, motion_);
    have_motion_ = true;
  }
  std::vector<BodyState> next;
  if (step_ == 0) {
    // Explicit midpoint.
    std::vector<double> mid;
    motion_of(advanced(state_, motion_, 0.5 * dt_), mid);
    next = advanced(state_, mid, dt_);
  } else {
    // Adams-Bashforth 2.
    std::vector<double> blend(motion_.size());
    for (std::size_t i = 0; i < blend.size(); ++i) blend[i] = 1.5 * motion_[i] - 0.5 * previous_[i];
    next = advanced(state_, blend, dt_);
  }
  previous_ = motion_;
  state_ = std::move(next);
  ++step_;
  motion_of(state_, motion_);
}

}  // namespace velmora
