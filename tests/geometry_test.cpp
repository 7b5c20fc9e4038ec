// Element geometry and the Gauss rules on the triangle.
#include <gtest/gtest.h>

#include <cmath>

#include "bem/gauss.hpp"
#include "bem/mesh.hpp"

namespace velmora {
namespace {

// Exact integral of x^a y^b over the unit right triangle: a! b! / (a+b+2)!.
double monomial_integral(int a, int b) {
  double num = 1.0, den = 1.0;
  for (int i = 2; i <= a; ++i) num *= i;
  for (int i = 2; i <= b; ++i) num *= i;
  for (int i = 2; i <= a + b + 2; ++i) den *= i;
  return num / den;
}

// Each rule integrates every monomial up to its degree exactly over the unit triangle.
TEST(GaussRules, ExactToTheirDegree) {
  const int rules[3][2] = {{3, 2}, {7, 5}, {16, 8}};
  for (const auto& rd : rules) {
    double gpt[48], gwt[16];
    ASSERT_TRUE(gauss_rule(rd[0], gpt, gwt));
    for (int a = 0; a <= rd[1]; ++a)
      for (int b = 0; a + b <= rd[1]; ++b) {
        double sum = 0.0;
        for (int g = 0; g < rd[0]; ++g) {
          // Nodes (0,0), (1,0), (0,1): x = xi2, y = xi3.
          const double x = gpt[3 * g + 1], y = gpt[3 * g + 2];
          sum += gwt[g] * std::pow(x, a) * std::pow(y, b);
        }
        // The stored 16-point values carry 15 digits.
        EXPECT_NEAR(0.5 * sum, monomial_integral(a, b), rd[0] == 16 ? 1e-14 : 1e-16)
            << "rule " << rd[0] << " monomial x^" << a << " y^" << b;
      }
  }
  double gpt[48], gwt[16];
  EXPECT_FALSE(gauss_rule(4, gpt, gwt));
}

// Unit right triangle: centroid (1/3,1/3,0), normal +z, area 1/2; reversed order flips the normal.
TEST(ElementGeometry, UnitTriangleAndOrientation) {
  const double xnode[9] = {0, 1, 0, 0, 0, 1, 0, 0, 0};
  const int ielem[6] = {1, 1, 2, 3, 3, 2};
  double xcol[6];
  collocation_points(2, 3, ielem, xnode, xcol);
  MeshView m{2, 3, ielem, xnode, xcol, nullptr};
  EXPECT_DOUBLE_EQ(m.col(1, 1), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(m.col(1, 2), 1.0 / 3.0);
  EXPECT_EQ(m.col(1, 3), 0.0);
  const auto g1 = element_geometry(m, 1), g2 = element_geometry(m, 2);
  EXPECT_EQ(g1.normal[2], 1.0);
  EXPECT_EQ(g2.normal[2], -1.0);
  EXPECT_EQ(g1.area, 0.5);
  EXPECT_EQ(g2.area, 0.5);
  EXPECT_EQ(m.col(2, 1), m.col(1, 1));
}

}  // namespace
}  // namespace velmora
