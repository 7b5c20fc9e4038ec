// The checks of the bodies before a solve: orientation against the flow the
// model declares, net flux into enclosed fluid, and gaps narrower than the
// elements, on the pieces and through runs of the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "bem/bodies.hpp"
#include "bem/mesh.hpp"
#include "bem/mesh_check.hpp"
#include "bem/shapes.hpp"
#include "run/body_checks.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"
#include "velmora_run.hpp"

namespace velmora {
namespace {

using testing::ScratchDir;

struct Viewed {
  SurfaceMesh m;
  std::vector<double> xcol, bc;
  MeshView view() const {
    return MeshView{m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data(), bc.data()};
  }
};

Viewed viewed(const SurfaceMesh& m) {
  Viewed v{m, std::vector<double>(3 * static_cast<std::size_t>(m.nelem)),
           std::vector<double>(6 * static_cast<std::size_t>(m.nelem), 1.0)};
  collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), v.xcol.data());
  return v;
}

void reverse(SurfaceMesh& m, int first, int last) {
  for (int e = first; e <= last; ++e)
    std::swap(m.ielem[(e - 1) + m.nelem], m.ielem[(e - 1) + 2 * static_cast<std::size_t>(m.nelem)]);
}

// The signed volume of a closed sphere is -4/3 pi r^3 (to the chord error)
// with the solver's orientation and changes sign with every element
// reversed; the gap search finds the closest pair of collocation points of
// different bodies, as a brute-force search does, within the element size
// only.
TEST(BodyChecks, SignedVolumeAndClosestGap) {
  const double c2[3] = {2.05, 0.0, 0.0};
  SurfaceMesh m = icosphere(2, 1.0);
  const int n1 = m.nelem;
  append_mesh(m, icosphere(2, 1.0, c2));
  reverse(m, n1 + 1, m.nelem);
  const Viewed v = viewed(m);
  const Bodies b = find_bodies(v.view());
  ASSERT_EQ(b.count, 2);
  const std::vector<double> vol = body_signed_volumes(v.view(), b);
  const double ball = 4.0 / 3.0 * 3.141592653589793;
  // 320 flat elements on the unit sphere hold 96 % of its volume.
  EXPECT_LT(vol[0], -0.95 * ball);
  EXPECT_GT(vol[0], -ball);
  EXPECT_NEAR(vol[1], -vol[0], 1e-12);

  double best = 1e300;
  int be = 0, bf = 0;
  for (int e = 1; e <= n1; ++e)
    for (int f = n1 + 1; f <= m.nelem; ++f) {
      double d2 = 0;
      for (int c = 1; c <= 3; ++c) d2 += std::pow(v.view().col(e, c) - v.view().col(f, c), 2);
      if (d2 < best) best = d2, be = e, bf = f;
    }
  const BodyGap g = closest_gap(v.view(), b.of_element, kGapInSizes);
  ASSERT_TRUE(g.found);
  EXPECT_DOUBLE_EQ(g.gap, std::sqrt(best));
  EXPECT_EQ(std::min(g.e, g.f), std::min(be, bf));
  // The centroids lie inside the spheres and off the line of centres, by
  // less than an element's size (edges of 0.35) on each.
  EXPECT_GT(g.gap, 0.05);
  EXPECT_LT(g.gap, 0.05 + 0.35);

  // One apart: farther than the elements' size, no gap to report.
  const double c3[3] = {3.0, 0.0, 0.0};
  SurfaceMesh far = icosphere(2, 1.0);
  append_mesh(far, icosphere(2, 1.0, c3));
  const Viewed w = viewed(far);
  EXPECT_FALSE(closest_gap(w.view(), find_bodies(w.view()).of_element, kGapInSizes).found);
}

// A model for the program: the mesh, all three velocity components
// prescribed by u(x), and the notes.
void write_model(const ScratchDir& dir, const SurfaceMesh& mesh,
                 const std::function<void(const double*, double*)>& u,
                 const std::vector<int>& interior) {
  tools::Model model;
  model.title = "body checks";
  model.subtitle = "test";
  model.mesh = mesh;
  model.bc.assign(6 * static_cast<std::size_t>(mesh.nelem), 0.0);
  for (int e = 1; e <= mesh.nelem; ++e) {
    double x[3] = {0, 0, 0}, v[3];
    for (int c = 1; c <= 3; ++c)
      for (int k = 1; k <= 3; ++k) x[c - 1] += mesh.x(mesh.node(e, k), c) / 3.0;
    u(x, v);
    for (int k = 1; k <= 3; ++k) model.code(e, k) = 1.0, model.value(e, k) = v[k - 1];
  }
  model.notes.interior = interior;
  std::ofstream f(dir / "input.dat");
  tools::write_input_dat(f, model);
}

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Through the program: a sphere with every element reversed is solved as a
// wall around the fluid and says so on the console and in output.log, with
// status 0; declared interior in the notes it says nothing, and the same
// sphere the right way round declared interior gets the opposite warning.
// Inside the wall a uniform velocity carries no flux (no warning), an
// expansion u = x carries 3 V (warned, as the share of the boundary flow),
// a uniform flow with 3e-6 of it a share of 1e-5 (below the 1e-3 reported);
// two spheres 0.05 apart get the gap warning with the gap.
TEST(BodyChecks, ProgramWarnsOnOrientationFluxAndGap) {
  ScratchDir dir("body-checks");
  testing::write_controls(dir, 20, 1, 1, "1e-5", 12, 2000, 8);
  SurfaceMesh wall = icosphere(2, 1.0);
  reverse(wall, 1, wall.nelem);
  auto uniform = [](const double*, double* v) { v[0] = 1, v[1] = 0, v[2] = 0; };

  write_model(dir, wall, uniform, {});
  testing::ProgramRun r = testing::run_velmora(dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string flipped = "the normals of body 1 point out of it";
  EXPECT_TRUE(has(r.out, flipped)) << r.out;
  EXPECT_TRUE(has(testing::read_file(dir / "output.log"), flipped));
  EXPECT_FALSE(has(r.out, "net flux"));

  write_model(dir, wall, uniform, {1});
  r = testing::run_velmora(dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(has(r.out, "Warning")) << r.out;

  write_model(dir, icosphere(2, 1.0), uniform, {1});
  r = testing::run_velmora(dir);
  EXPECT_TRUE(has(r.out, "body 1 is declared a wall enclosing the fluid")) << r.out;

  write_model(dir, wall, [](const double* x, double* v) { std::copy(x, x + 3, v); }, {1});
  r = testing::run_velmora(dir);
  // flux sum A u.n = 3 V over the flow sum A |u| = A r (r of the centroids
  // just under 1): 12.06 and a share of 1 to three digits.
  EXPECT_TRUE(has(r.out, "carries a net flux of 12.1 (1 of the flow")) << r.out;
  // An imbalance of 1e-5 of the flow, as a smooth profile's quadrature
  // leaves, is no mistake and gets no warning.
  write_model(dir, wall, [](const double* x, double* v) {
    for (int k = 0; k < 3; ++k) v[k] = (k == 0 ? 1.0 : 0.0) + 3e-6 * x[k];
  }, {1});
  r = testing::run_velmora(dir);
  EXPECT_FALSE(has(r.out, "net flux")) << r.out;

  const double c2[3] = {2.05, 0.0, 0.0};
  SurfaceMesh pair = icosphere(2, 1.0);
  append_mesh(pair, icosphere(2, 1.0, c2));
  write_model(dir, pair, uniform, {});
  r = testing::run_velmora(dir);
  EXPECT_TRUE(has(r.out, "Warning: bodies 1 and 2 come within 0.108 of each other, closer than the size 0.29")) << r.out;
  EXPECT_FALSE(has(r.out, "normals")) << r.out;
}

}  // namespace
}  // namespace velmora
