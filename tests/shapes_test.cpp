// Sphere and ellipsoid meshes: closed, inward-oriented, converging to the exact area and volume.
#include "bem/shapes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <utility>

#include "bem/mesh.hpp"

namespace velmora {
namespace {

double total_area(const SurfaceMesh& m) {
  std::vector<double> xcol(3 * m.nelem);
  MeshView v{m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data(), nullptr};
  double a = 0;
  for (int e = 1; e <= m.nelem; ++e) a += element_geometry(v, e).area;
  return a;
}

// Every directed edge appears once and its reverse once: the surface is closed and consistently
// oriented.
TEST(Shapes, IcosphereClosedAndConsistent) {
  const SurfaceMesh m = icosphere(2, 1.0);
  EXPECT_EQ(m.nelem, 320);
  EXPECT_EQ(m.nnode, 162);  // Euler: V = 2 + F/2
  std::map<std::pair<int, int>, int> edges;
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) ++edges[{m.node(e, v), m.node(e, v % 3 + 1)}];
  for (const auto& [edge, count] : edges) {
    EXPECT_EQ(count, 1);
    EXPECT_EQ(edges.count({edge.second, edge.first}), 1u);
  }
}

// Normals point inward (negative signed volume); area and volume approach 4 pi and 4 pi/3 as h^2.
TEST(Shapes, SphereAreaVolumeConverge) {
  double prev_err = 1.0;
  for (int r = 1; r <= 4; ++r) {
    const SurfaceMesh m = icosphere(r, 2.0);
    const double vol = signed_volume(m);
    EXPECT_LT(vol, 0.0);
    const double err = std::fabs(total_area(m) - 16.0 * M_PI) / (16.0 * M_PI);
    EXPECT_LT(std::fabs(-vol - 32.0 * M_PI / 3.0) / (32.0 * M_PI / 3.0), 4.0 * err);
    if (r > 1) {
      EXPECT_NEAR(prev_err / err, 4.0, 0.5);
    }
    prev_err = err;
  }
}

// Geodesic spheres: closed and consistently oriented for every frequency (odd, even, prime), with
// 20 k^2 triangles, Euler's node count, every node on the sphere, inward normals, and the area
// error falling as h^2.
TEST(Shapes, GeodesicSphereClosedAndConverging) {
  double prev_err = 0.0;
  for (int k : {1, 2, 3, 7, 14}) {
    const SurfaceMesh m = geodesic_sphere(k, 1.5);
    EXPECT_EQ(m.nelem, 20 * k * k);
    EXPECT_EQ(m.nnode, 2 + 10 * k * k);
    std::map<std::pair<int, int>, int> edges;
    for (int e = 1; e <= m.nelem; ++e)
      for (int v = 1; v <= 3; ++v) ++edges[{m.node(e, v), m.node(e, v % 3 + 1)}];
    for (const auto& [edge, count] : edges) {
      EXPECT_EQ(count, 1) << k;
      EXPECT_EQ(edges.count({edge.second, edge.first}), 1u) << k;
    }
    for (int n = 1; n <= m.nnode; ++n)
      EXPECT_NEAR(std::hypot(m.x(n, 1), m.x(n, 2), m.x(n, 3)), 1.5, 1e-14);
    EXPECT_LT(signed_volume(m), 0.0);
    const double err = std::fabs(total_area(m) - 9.0 * M_PI) / (9.0 * M_PI);
    if (k == 14) {
      EXPECT_NEAR(prev_err / err, 4.0, 0.5);
    }
    prev_err = err;
  }
}

// An ellipsoid's enclosed volume tends to 4 pi abc / 3.
TEST(Shapes, EllipsoidVolume) {
  const SurfaceMesh m = ellipsoid(4, 2.0, 1.0, 0.8);
  EXPECT_NEAR(-signed_volume(m), 4.0 * M_PI * 2.0 * 1.0 * 0.8 / 3.0, 0.01 * 4.0 * M_PI * 1.6 / 3.0);
}

}  // namespace
}  // namespace velmora
