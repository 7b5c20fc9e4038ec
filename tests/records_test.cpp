// Byte-exact output of the edit descriptors and free-format records.
#include "common/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "common/units.hpp"

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

// The widths the program writes, byte for byte.
TEST(EditDescriptors, WidthsOfTheProgram) {
  EXPECT_EQ(F(394.94, 12, 1), "       394.9");  // memory report
  EXPECT_EQ(F(0.0, 12, 1), "         0.0");
  EXPECT_EQ(F(12.345, 10, 2), "     12.35");  // timing line (12.345 is above the tie in binary)
  EXPECT_EQ(F(1234567.891, 10, 2), "1234567.89");
  EXPECT_EQ(F(12345678.9, 10, 2), "**********");
  EXPECT_EQ(I(1280, 8), "    1280");  // element records
  EXPECT_EQ(I(88, 12), "          88");
  EXPECT_EQ(I(-642, 15), "           -642");
  EXPECT_EQ(I(6, 2), " 6");
  EXPECT_EQ(I(100, 2), "**");
  EXPECT_EQ(I(12345, 5), "12345");
  EXPECT_EQ(I(-1234, 5), "-1234");
  EXPECT_EQ(I(3840, 7), "   3840");
  EXPECT_EQ(E(-18.849555921538759, 21, 12), "  -0.188495559215E+02");
  EXPECT_EQ(E(1.0 / 3.0, 21, 12), "   0.333333333333E+00");
  EXPECT_EQ(E(0.5257311121191336, 15, 7), "  0.5257311E+00");
  EXPECT_EQ(E(-2.0e-5, 15, 7), " -0.2000000E-04");
  EXPECT_EQ(E(0.12345e-3, 10, 4), "0.1234E-03");  // 0.00012345 lies just below the tie in binary
  EXPECT_EQ(E(1.0e-6, 8, 2), "0.10E-05");
  EXPECT_EQ(E(0.0, 8, 2), "0.00E+00");
}

// Rounding to nearest on the exact binary value; exact ties go to the even digit.
TEST(EditDescriptors, RoundingToNearest) {
  EXPECT_EQ(F(2.675, 6, 2), "  2.67");  // 2.67499999999999982236431605997495353221893310546875
  EXPECT_EQ(F(1.005, 6, 2), "  1.00");  // just below 1.005
  EXPECT_EQ(F(0.125, 6, 2), "  0.12");  // exact tie
  EXPECT_EQ(F(0.375, 6, 2), "  0.38");  // exact tie
  EXPECT_EQ(F(-0.125, 6, 2), " -0.12");
  EXPECT_EQ(E(0.15, 8, 1),
            " 0.1E+00");                // 0.1499999999999999944488848768742172978818416595458984375
  EXPECT_EQ(E(2.5, 8, 1), " 0.2E+01");  // exact tie
  EXPECT_EQ(E(3.5, 8, 1), " 0.4E+01");  // exact tie
}

// Values that round up to the next power of ten move the exponent or the point.
TEST(EditDescriptors, RoundingUpToTheNextPowerOfTen) {
  EXPECT_EQ(E(0.99996, 10, 4), "0.1000E+01");
  EXPECT_EQ(E(-9.9999999e-10, 10, 4), "-.1000E-08");
  EXPECT_EQ(E(9.9999999e99, 10, 4), "0.1000+101");
  EXPECT_EQ(F(9.96, 6, 1), "  10.0");
  EXPECT_EQ(F(-0.996, 6, 2), " -1.00");
  EXPECT_EQ(F(999.96, 12, 1), "      1000.0");
}

// Exponents beyond +-99 drop the E and keep three digits.
TEST(EditDescriptors, ThreeDigitExponents) {
  EXPECT_EQ(E(1.0e150, 10, 4), "0.1000+151");
  EXPECT_EQ(E(-2.5e-200, 15, 7), " -0.2500000-199");
  EXPECT_EQ(E(1.0e-99, 10, 4), "0.1000E-98");
  EXPECT_EQ(E(1.0e99, 10, 4), "0.1000+100");
  EXPECT_EQ(E(1.7976931348623157e308, 21, 12), "   0.179769313486+309");
}

// The digits and exponent of E against printf's %.*e of the same value, over
// values of every magnitude (subnormals, round-ups to a power of ten, the
// program's widths and others), and the appending form against E.
TEST(EditDescriptors, ExponentialMatchesPrintfOverMagnitudes) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  int checked = 0;
  for (int i = 0; i < 20000; ++i) {
    double v;
    const std::uint64_t bits = next();
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    if (i % 3 == 0) v = std::ldexp(static_cast<double>(bits >> 11) / 9007199254740992.0, static_cast<int>(bits % 64) - 32);
    if (i % 7 == 0) v = std::nextafter(1.0, 0.0) * std::pow(10.0, static_cast<int>(bits % 40) - 20);
    for (const int d : {1, 7, 12, 17}) {
      char ref[64];
      std::snprintf(ref, sizeof ref, "%.*e", d - 1, std::fabs(v));
      std::string mant;
      const char* c = ref;
      for (; *c != 'e'; ++c)
        if (*c != '.') mant += *c;
      const int e10 = v == 0.0 ? 0 : std::atoi(c + 1) + 1;
      if (v == 0.0) mant = std::string(d, '0');
      const int ae = std::abs(e10);
      if (ae > 999) continue;
      char ex[8];
      if (ae <= 99)
        std::snprintf(ex, sizeof ex, "E%c%02d", e10 < 0 ? '-' : '+', ae);
      else
        std::snprintf(ex, sizeof ex, "%c%03d", e10 < 0 ? '-' : '+', ae);
      const std::string body = std::string(std::signbit(v) ? "-" : "") + "0." + mant + ex;
      const int w = static_cast<int>(body.size()) + 2;
      ASSERT_EQ(E(v, w, d), "  " + body) << v << " d=" << d;
      ASSERT_EQ(E(v, w - 3, d), body.substr(0, std::signbit(v) ? 1 : 0) + body.substr(std::signbit(v) ? 2 : 1)) << v;
      std::string appended = "x";
      append_E(appended, v, w, d);
      ASSERT_EQ(appended, "x  " + body);
      ++checked;
    }
  }
  EXPECT_GT(checked, 40000);
  std::string s;
  append_I(s, -642, 15);
  append_I(s, 100, 2);
  EXPECT_EQ(s, "           -642**");
}

// Zero, negative zero, values that do not fit and the text and blank descriptors.
TEST(EditDescriptors, ZeroSignsOverflowTextAndBlanks) {
  EXPECT_EQ(E(0.0, 21, 12), "   0.000000000000E+00");
  EXPECT_EQ(E(-0.0, 15, 7), " -0.0000000E+00");
  EXPECT_EQ(F(-0.0, 10, 2), "     -0.00");
  EXPECT_EQ(I(0, 5), "    0");
  EXPECT_EQ(E(-1.0e200, 8, 2), "-.10+201");
  EXPECT_EQ(E(-1.0e200, 7, 2), "*******");
  EXPECT_EQ(E(1.0, 5, 2), "*****");
  EXPECT_EQ(F(-1.0, 3, 2), "***");
  EXPECT_EQ(A("abc", 5), "  abc");
  EXPECT_EQ(A("Restart: ", 9), "Restart: ");
  EXPECT_EQ(A("Orthogonalisation", 5), "Ortho");
  EXPECT_EQ(A(std::string(80, 'x'), 78), std::string(78, 'x'));
  EXPECT_EQ(X(10), "          ");
  EXPECT_EQ(X(0), "");
}

// A slash ends the record: leading, inner and trailing slashes give their records.
TEST(EditDescriptors, SlashSplitsRecords) {
  UnitsGuard guard;
  std::ostringstream os;
  units().attach(8, &os);
  // 3E15.7 / 6E15.7
  units().write(8, E(1.0, 15, 7) + E(2.0, 15, 7) + E(3.0, 15, 7) + slash() + E(0.0, 15, 7));
  units().write(8, slash() + A("  Memory size", 13));
  units().write(8, I(88, 12) + slash());
  EXPECT_EQ(os.str(),
            "  0.1000000E+01  0.2000000E+01  0.3000000E+01\n"
            "  0.0000000E+00\n"
            "\n"
            "  Memory size\n"
            "          88\n"
            "\n");
}

TEST(FreeFormat, LeadingBlankAndSeparators) {
  EXPECT_EQ(list("Number of nodes              =", 12),
            " Number of nodes              =          12");
  EXPECT_EQ(list(), " ");
  EXPECT_EQ(list("Restart : ", 30), " Restart :           30");
  EXPECT_EQ(list(1.0), "   1.0000000000000000     ");
  EXPECT_EQ(list(-2.5e-7), "  -2.4999999999999999E-007");
  EXPECT_EQ(list("Invalid parameter --> ngauss; stop"), " Invalid parameter --> ngauss; stop");
  EXPECT_EQ(list("rinfo(1) = ", 0.5, "  rinfo(2) = ", -0.25),
            " rinfo(1) =   0.50000000000000000       rinfo(2) =  -0.25000000000000000     ");
  EXPECT_EQ(list(std::int64_t{-3840}), "       -3840");
}

}  // namespace
}  // namespace velmora::fmt
