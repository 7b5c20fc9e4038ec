// Byte-exact output of the edit descriptors and free-format records.
#include "common/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmora::fmt {
namespace {

TEST(EditDescriptors, IntegerRightJustifiedOrStars) {
  EXPECT_EQ(I(88, 12), "          88");
  EXPECT_EQ(I(-5, 2), "-5");
  EXPECT_EQ(I(-10, 2), "**");
  EXPECT_EQ(I(1234567, 7), "1234567");
  EXPECT_EQ(I(12345678, 7), "*******");
}

TEST(EditDescriptors, FixedPoint) {
  EXPECT_EQ(F(0.5, 10, 2), "      0.50");
  EXPECT_EQ(F(1234.56, 12, 1), "      1234.6");
  EXPECT_EQ(F(-0.001, 6, 2), " -0.00");
  EXPECT_EQ(F(0.5, 3, 2), ".50");
  EXPECT_EQ(F(99.996, 5, 2), "*****");
  EXPECT_EQ(F(99.994, 5, 2), "99.99");
  EXPECT_EQ(F(0.0, 10, 2), "      0.00");
}

TEST(EditDescriptors, Exponential) {
  EXPECT_EQ(E(1.0e-5, 8, 2), "0.10E-04");
  EXPECT_EQ(E(0.0, 10, 4), "0.0000E+00");
  EXPECT_EQ(E(9.99996, 10, 4), "0.1000E+02");
  EXPECT_EQ(E(-1.5, 15, 7), " -0.1500000E+01");
  EXPECT_EQ(E(1.0e-120, 10, 4), "0.1000-119");
  EXPECT_EQ(E(-1.2, 8, 2), "-.12E+01");
  EXPECT_EQ(E(-1.2, 7, 2), "*******");
  EXPECT_EQ(E(123.456, 21, 12), "   0.123456000000E+03");
}

TEST(FreeFormat, LeadingBlankAndSeparators) {
  EXPECT_EQ(list("Number of nodes              =", 12), " Number of nodes              =          12");
  EXPECT_EQ(list(), " ");
  EXPECT_EQ(list("Restart : ", 30), " Restart :           30");
  EXPECT_EQ(list(1.0), "   1.0000000000000000     ");
  EXPECT_EQ(list(-2.5e-7), "  -2.4999999999999999E-007");
}

}  // namespace
}  // namespace velmora::fmt
