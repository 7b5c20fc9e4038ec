// The rigid-body time integrator (rigid/dynamics.hpp): quaternion algebra
// against rotation matrices, and the scheme's second order on trajectories
// known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rigid/dynamics.hpp"

namespace velmora {
namespace {

// exp composes like rotations about one axis, and rotate() is the rotation:
// a quarter turn about z takes x to y; the product applies its right factor first.
TEST(Dynamics, QuaternionRotations) {
  const double qz[3] = {0, 0, M_PI / 2}, qx[3] = {M_PI / 2, 0, 0};
  const double ex[3] = {1, 0, 0}, ey[3] = {0, 1, 0};
  double y[3];
  rotate(quaternion_exp(qz), ex, y);
  EXPECT_NEAR(y[0], 0.0, 1e-15);
  EXPECT_NEAR(y[1], 1.0, 1e-15);
  EXPECT_NEAR(y[2], 0.0, 1e-15);
  // First z (x -> y), then x (y -> z).
  rotate(quaternion_product(quaternion_exp(qx), quaternion_exp(qz)), ex, y);
  EXPECT_NEAR(y[0], 0.0, 1e-15);
  EXPECT_NEAR(y[1], 0.0, 1e-15);
  EXPECT_NEAR(y[2], 1.0, 1e-15);
  // Two half-angle steps make the whole.
  const double half[3] = {0.1, -0.2, 0.3}, whole[3] = {0.2, -0.4, 0.6};
  const Quaternion a = quaternion_product(quaternion_exp(half), quaternion_exp(half));
  const Quaternion b = quaternion_exp(whole);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], b[k], 1e-15);
  rotate(b, ey, y);
  EXPECT_NEAR(y[0] * y[0] + y[1] * y[1] + y[2] * y[2], 1.0, 1e-15);
}

// Angle in the x-y plane of the body's axis R(q) e_x.
double axis_angle(const BodyState& s) {
  const double ex[3] = {1, 0, 0};
  double a[3];
  rotate(s.q, ex, a);
  return std::atan2(a[1], a[0]);
}

// A swimmer moving at U along its turning axis, turning at a rate that
// depends on its orientation as Jeffery's spheroid in shear does,
//   dphi/dt = (r^2 cos^2 phi + sin^2 phi) / (r^2 + 1),
// whose angle is phi(t) = atan(r tan(r t / (r^2 + 1))); and a swimmer at a
// constant rate omega, whose path is the circle
//   X(t) = (U / omega) (sin(omega t), 1 - cos(omega t), 0).
// Errors at T fall fourfold when dt halves: second order.
TEST(Dynamics, SecondOrderOnKnownTrajectories) {
  const double r = 2.0, U = 0.7, omega = 0.9, T = 2.0;
  const MotionOf jeffery = [&](const std::vector<BodyState>& s, std::vector<double>& m) {
    const double phi = axis_angle(s[0]);
    const double c = std::cos(phi), sn = std::sin(phi);
    m.assign(12, 0.0);
    m[5] = (r * r * c * c + sn * sn) / (r * r + 1);
    // Body 2: constant turning, swimming along its axis.
    const double ex[3] = {1, 0, 0};
    double a[3];
    rotate(s[1].q, ex, a);
    for (int k = 0; k < 3; ++k) m[6 + k] = U * a[k];
    m[11] = omega;
  };
  auto errors = [&](int steps) {
    RigidIntegrator it(std::vector<BodyState>(2), T / steps);
    for (int n = 0; n < steps; ++n) it.step(jeffery);
    EXPECT_NEAR(it.time(), T, 1e-12);
    const double phi = std::atan(r * std::tan(r * T / (r * r + 1)));
    const double e1 = std::abs(axis_angle(it.state()[0]) - phi);
    const double xs = U / omega * std::sin(omega * T), ys = U / omega * (1 - std::cos(omega * T));
    const double e2 = std::hypot(it.state()[1].x[0] - xs, it.state()[1].x[1] - ys);
    return std::array<double, 2>{e1, e2};
  };
  const auto coarse = errors(40), fine = errors(80);
  for (int k = 0; k < 2; ++k) {
    EXPECT_LT(coarse[k], 1e-2);
    EXPECT_GT(coarse[k] / fine[k], 3.2) << k << " " << coarse[k] / fine[k];
    EXPECT_LT(coarse[k] / fine[k], 4.8) << k;
  }
}

// One evaluation per step after the first, two in the first, and the motion
// held is that of the current configuration.
TEST(Dynamics, EvaluationsPerStep) {
  int calls = 0;
  const MotionOf count = [&](const std::vector<BodyState>& s, std::vector<double>& m) {
    ++calls;
    m.assign(6, 0.0);
    m[0] = 1.0 + s[0].x[0];  // dx/dt = 1 + x
  };
  RigidIntegrator it(std::vector<BodyState>(1), 0.1);
  it.step(count);
  EXPECT_EQ(calls, 3);  // the start, the midpoint, the new configuration
  it.step(count);
  it.step(count);
  EXPECT_EQ(calls, 5);
  EXPECT_DOUBLE_EQ(it.motion()[0], 1.0 + it.state()[0].x[0]);
  EXPECT_NEAR(it.state()[0].x[0], std::exp(0.3) - 1.0, 2e-3);
}

}  // namespace
}  // namespace velmora
