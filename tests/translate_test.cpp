// Rotation-based expansion translations against the direct double sums.
//
// Error measure.  The rotations mix the orders of one degree, so the error of
// an output entry is measured against the size of its whole degree in the
// basis in which the rotations are orthogonal: moments (which transform like
// R(n,m)) are multiplied by nu(n,m) = sqrt((n+m)!(n-m)!), local expansions
// (which pair with R(n,m)) divided by it.  For output expansion j and degree n
//   err(j,n) = max_m |fast - direct| w(n,m) / max_m S(j,n,m) w(n,m),
// S(j,n,m) = sum |coefficient| |input| being the magnitude sum of the direct
// sum (its condition).  In that basis the rotations have rows of unit length;
// the fast path is three stages (rotate, shift along z, rotate back), each a
// sum of at most p+1 terms per output over at most 2p+1 orders, and the
// direct sum has (p+1)^2 terms, so a first-order rounding estimate is
// eps (3 (p+1)(2p+1) + (p+1)^2), 4.4e-13 at p = 16 (eps = 2.2e-16).  The tests
// use tol(p) = 4 eps (p+1)(2p+1) + 1e-15, which is 5e-13 at p = 16 and below
// the required 1e-12 for every p; the errors observed are below 1e-14.
#include "fmm/translate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/expansion.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"
#include "fmm/tree.hpp"
#include "fmm_support.hpp"

namespace velmora {
namespace {

using Cell = std::vector<Complex>;
using Vec3 = std::array<double, 3>;

constexpr double kEps = std::numeric_limits<double>::epsilon();

double tol(int p) {
  return 4.0 * kEps * (p + 1) * (2 * p + 1) + 1e-15;
}

double factorial(int n) {
  double f = 1.0;
  for (int i = 2; i <= n; ++i) f *= i;
  return f;
}
double modulus(const Complex& z) {
  return std::sqrt(z.real() * z.real() + z.imag() * z.imag());
}
double nu(int n, int m) {
  return std::sqrt(factorial(n + m) * factorial(n - m));
}

std::size_t at(int p, int j, int m, int n) {
  return (j - 1) + 4 * static_cast<std::size_t>((m + p) + (2 * p + 1) * n);
}
Cell zero_cell(int p) {
  return Cell(ExpanView<Complex>::cell_size(p), Complex(0.0, 0.0));
}

// Direct sums, written from the definitions; mag receives the magnitude sums.
void direct_m2l(int p, const Cell& M, const Vec3& xh, Cell& L, Cell& mag) {
  std::vector<Complex> st(irregular_table_size(p));
  irregular_harmonics(p, xh[0], xh[1], xh[2], st.data());
  const IrregularView<const Complex> S(st.data(), p);
  Cell Mp = M;
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m)
      Mp[at(p, 4, m, n)] = M[at(p, 4, m, n)] - xh[0] * M[at(p, 1, m, n)] -
                           xh[1] * M[at(p, 2, m, n)] - xh[2] * M[at(p, 3, m, n)];
  for (int n = 0; n <= p; ++n) {
    const double sg = (n % 2 == 0) ? 1.0 : -1.0;
    for (int m = -n; m <= n; ++m) {
      for (int j = 1; j <= 4; ++j) {
        Complex s(0.0, 0.0);
        double a = 0.0;
        for (int np = 0; np <= p; ++np) {
          for (int mp = -np; mp <= np; ++mp) {
            const Complex t = cmul(S(n + np, m + mp), Mp[at(p, j, mp, np)]);
            s += t;
            a += modulus(t);
          }
        }
        L[at(p, j, m, n)] += sg * s;
        mag[at(p, j, m, n)] = a;
      }
    }
  }
}

void direct_m2m(int p, const Cell& M, const Vec3& d, Cell& P, Cell& mag) {
  std::vector<Complex> rt(regular_table_size(p));
  regular_harmonics(p, d[0], d[1], d[2], rt.data());
  const RegularView<const Complex> R(rt.data(), p);
  Cell Mp = M;
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m)
      Mp[at(p, 4, m, n)] = M[at(p, 4, m, n)] + d[0] * M[at(p, 1, m, n)] + d[1] * M[at(p, 2, m, n)] +
                           d[2] * M[at(p, 3, m, n)];
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      for (int j = 1; j <= 4; ++j) {
        Complex s(0.0, 0.0);
        double a = 0.0;
        for (int n1 = 0; n1 <= n; ++n1) {
          for (int m1 = -n1; m1 <= n1; ++m1) {
            if (std::abs(m - m1) > n - n1) continue;
            const Complex t = cmul(R(n1, m1), Mp[at(p, j, m - m1, n - n1)]);
            s += t;
            a += modulus(t);
          }
        }
        P[at(p, j, m, n)] += s;
        mag[at(p, j, m, n)] = a;
      }
    }
  }
}

void direct_l2l(int p, const Cell& L, const Vec3& d, Cell& C, Cell& mag) {
  std::vector<Complex> rt(regular_table_size(p));
  regular_harmonics(p, d[0], d[1], d[2], rt.data());
  const RegularView<const Complex> R(rt.data(), p);
  Cell Lp = L;
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m)
      Lp[at(p, 4, m, n)] = L[at(p, 4, m, n)] - d[0] * L[at(p, 1, m, n)] - d[1] * L[at(p, 2, m, n)] -
                           d[2] * L[at(p, 3, m, n)];
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      for (int j = 1; j <= 4; ++j) {
        Complex s(0.0, 0.0);
        double a = 0.0;
        for (int np = n; np <= p; ++np) {
          for (int mp = -np; mp <= np; ++mp) {
            if (std::abs(mp - m) > np - n) continue;
            const Complex t = cmul(R(np - n, mp - m), Lp[at(p, j, mp, np)]);
            s += t;
            a += modulus(t);
          }
        }
        C[at(p, j, m, n)] += s;
        mag[at(p, j, m, n)] = a;
      }
    }
  }
}

// Largest err(j,n) of the header comment; `local` selects the weight 1/nu.
double degree_error(int p, const Cell& fast, const Cell& ref, const Cell& mag, bool local) {
  double worst = 0.0;
  for (int j = 1; j <= 4; ++j) {
    for (int n = 0; n <= p; ++n) {
      double num = 0.0, den = 0.0;
      for (int m = -n; m <= n; ++m) {
        const double w = local ? 1.0 / nu(n, m) : nu(n, m);
        num = std::max(num, std::abs(fast[at(p, j, m, n)] - ref[at(p, j, m, n)]) * w);
        den = std::max(den, mag[at(p, j, m, n)].real() * w);
      }
      if (den > 0.0) worst = std::max(worst, num / den);
    }
  }
  return worst;
}

// Plain relative max-norm error over all entries.
double max_error(const Cell& fast, const Cell& ref) {
  double num = 0.0, den = 0.0;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    num = std::max(num, std::abs(fast[i] - ref[i]));
    den = std::max(den, std::abs(ref[i]));
  }
  return num / den;
}

// Moments of 12 random point charges (4 sets) in the cube of edge h about the
// origin: M(j,m,n) = sum q_j R(n,m)(y).  Expansions of real densities.
Cell random_moments(int p, double h, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-0.5, 0.5), q(-1.0, 1.0);
  std::vector<Complex> rt(regular_table_size(p));
  const RegularView<const Complex> R(rt.data(), p);
  Cell M = zero_cell(p);
  for (int k = 0; k < 12; ++k) {
    regular_harmonics(p, h * u(rng), h * u(rng), h * u(rng), rt.data());
    for (int j = 1; j <= 4; ++j) {
      const double c = q(rng);
      for (int n = 0; n <= p; ++n)
        for (int m = -n; m <= n; ++m) M[at(p, j, m, n)] += c * R(n, m);
    }
  }
  return M;
}

// Local expansion about the origin of 12 random charges in cells at offsets
// (2..3) h: L(j,m,n) = sum q_j (-1)^n Sbar(n,m)(-y).
Cell random_locals(int p, double h, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-0.5, 0.5), q(-1.0, 1.0);
  std::uniform_int_distribution<int> side(0, 5);
  std::vector<Complex> st(irregular_table_size(p));
  const IrregularView<const Complex> S(st.data(), p);
  Cell L = zero_cell(p);
  for (int k = 0; k < 12; ++k) {
    double y[3] = {h * 2 * u(rng), h * 2 * u(rng), h * 2 * u(rng)};
    const int s = side(rng);
    y[s % 3] = (s < 3 ? 1.0 : -1.0) * h * (2.5 + u(rng));
    irregular_harmonics(p, -y[0], -y[1], -y[2], st.data());
    for (int j = 1; j <= 4; ++j) {
      const double c = q(rng);
      for (int n = 0; n <= p; ++n)
        for (int m = -n; m <= n; ++m)
          L[at(p, j, m, n)] += c * ((n % 2 == 0) ? 1.0 : -1.0) * S(n, m);
    }
  }
  return L;
}

// Entries with every order, no symmetry, of the natural size of moments
// (local = false) or local expansions of a cell of edge h.
Cell random_general(int p, double h, bool local, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Cell X = zero_cell(p);
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m)
      for (int j = 1; j <= 4; ++j) {
        const double s = local ? nu(n, m) / std::pow(h, n + 1) : std::pow(h, n) / nu(n, m);
        X[at(p, j, m, n)] = Complex(s * u(rng), s * u(rng));
      }
  return X;
}

std::vector<Vec3> m2l_offsets(double h) {
  std::vector<Vec3> v;
  for (int i = -3; i <= 3; ++i)
    for (int j = -3; j <= 3; ++j)
      for (int k = -3; k <= 3; ++k)
        if (std::abs(i) > 1 || std::abs(j) > 1 || std::abs(k) > 1)
          v.push_back({h * i, h * j, h * k});
  return v;
}

std::vector<Vec3> child_offsets(double h) {
  std::vector<Vec3> v;
  for (int s = 0; s < 8; ++s)
    v.push_back(
        {(s & 1 ? -0.25 : 0.25) * h, (s & 2 ? -0.25 : 0.25) * h, (s & 4 ? -0.25 : 0.25) * h});
  return v;
}

// Random directions, lengths in [lo, hi].
std::vector<Vec3> random_offsets(int count, double lo, double hi, std::mt19937& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<Vec3> v;
  for (int i = 0; i < count; ++i) {
    const double a = g(rng), b = g(rng), c = g(rng), r = u(rng) / std::sqrt(a * a + b * b + c * c);
    v.push_back({a * r, b * r, c * r});
  }
  return v;
}

// Lattice offsets moved by a relative 1e-11 (rounded cell centres).
std::vector<Vec3> perturbed(const std::vector<Vec3>& v, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1e-11, 1e-11);
  std::vector<Vec3> w = v;
  for (auto& x : w) {
    const double r = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    for (double& c : x) c += r * u(rng);
  }
  return w;
}

struct Fixture {
  M2LOperator op;
  std::vector<Complex> work;
  explicit Fixture(int p) {
    m2l_prepare(op, p);
    work.assign(m2l_work_size(p), Complex(std::nan(""), std::nan("")));
  }
};

enum class Kind { kM2L, kM2M, kL2L };

// Worst degree error of one kind over a set of offsets; inputs from `make`.
template <class Make>
double worst_error(Fixture& f, Kind kind, const std::vector<Vec3>& offsets, Make make,
                   bool general = false) {
  const int p = f.op.p;
  double worst = 0.0;
  for (const Vec3& v : offsets) {
    const Cell in = make();
    const Cell start = make();  // the outputs start from a nonzero expansion
    Cell out_fast = start, out_ref = start, mag = zero_cell(p);
    switch (kind) {
      case Kind::kM2L:
        (general ? m2l_add_general : m2l_add)(f.op, in.data(), v.data(), out_fast.data(),
                                              f.work.data());
        direct_m2l(p, in, v, out_ref, mag);
        break;
      case Kind::kM2M:
        (general ? m2m_add_general : m2m_add)(f.op, in.data(), v.data(), out_fast.data(),
                                              f.work.data());
        direct_m2m(p, in, v, out_ref, mag);
        break;
      case Kind::kL2L:
        (general ? l2l_add_general : l2l_add)(f.op, in.data(), v.data(), out_fast.data(),
                                              f.work.data());
        direct_l2l(p, in, v, out_ref, mag);
        break;
    }
    // The initial content counts into the magnitude of each entry.
    for (std::size_t i = 0; i < mag.size(); ++i) mag[i] = mag[i].real() + std::abs(start[i]);
    const double e = degree_error(p, out_fast, out_ref, mag, kind != Kind::kM2M);
    EXPECT_LE(max_error(out_fast, out_ref), tol(p)) << "p " << p;
    worst = std::max(worst, e);
  }
  return worst;
}

// The tabulated rotation blocks (both signs of every angle) turn R(n,m)(v) into R(n,m)(Ry(b) v).
TEST(Translate, RotationBlocksRotateTheHarmonics) {
  const int p = 16;
  Fixture f(p);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex> rt(regular_table_size(p));
  const RegularView<const Complex> R(rt.data(), p);
  std::vector<double> x(half_size(p)), y(half_size(p)), want(half_size(p));
  // Working basis: order 0 divided by sqrt(2).
  auto put = [&](std::vector<double>& h, int j, const double v[3]) {
    regular_harmonics(p, v[0], v[1], v[2], rt.data());
    for (int n = 0; n <= p; ++n)
      for (int m = 0; m <= n; ++m) {
        const double s = (m == 0) ? 1.0 / std::sqrt(2.0) : 1.0;
        h[8 * half_index(n, m) + j] = s * R(n, m).real();
        h[8 * half_index(n, m) + 4 + j] = s * R(n, m).imag();
      }
  };
  double worst = 0.0;
  for (std::size_t k = 0; k < f.op.theta.size(); ++k) {
    for (int sign = -1; sign <= 1; sign += 2) {
      const double b = sign * f.op.theta[k], c = std::cos(b), s = std::sin(b);
      for (int j = 0; j < 4; ++j) {
        const double v[3] = {u(rng), u(rng), u(rng)};
        const double w[3] = {c * v[0] + s * v[2], v[1], -s * v[0] + c * v[2]};
        put(x, j, v);
        put(want, j, w);
      }
      const double* blocks = f.op.blocks.data() + (2 * k + (sign > 0 ? 1 : 0)) * f.op.rot_size;
      rotate_half(p, blocks, x.data(), y.data());
      for (int n = 0; n <= p; ++n) {
        // |R(n,m)(v)| nu(n,m) <= |v|^n <= 3^{n/2}.
        for (int m = 0; m <= n; ++m)
          for (int q = 0; q < 8; ++q) {
            const std::size_t i = 8 * half_index(n, m) + q;
            worst = std::max(worst, std::abs(y[i] - want[i]) * nu(n, m) / std::pow(3.0, 0.5 * n));
          }
      }
    }
  }
  EXPECT_LE(worst, tol(p));
}

// I + eJ and I + eJ^T agree with the rotation by a small angle e and its transpose to O(e^2).
TEST(Translate, TiltIsTheFirstOrderRotation) {
  const int p = 12;
  const double e = 1e-6;
  std::vector<double> blocks(yrot_size(p)), scr(yrot_scratch_size(p));
  yrotation_blocks<double>(p, std::cos(e), std::sin(e), scr.data(), blocks.data());
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> x(half_size(p)), y(half_size(p));
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m)
      for (int q = 0; q < 8; ++q) x[8 * half_index(n, m) + q] = (m == 0 && q >= 4) ? 0.0 : u(rng);
  for (bool transposed : {false, true}) {
    std::vector<double> t = x;
    if (transposed) {
      rotate_half_t(p, blocks.data(), x.data(), y.data());
      tilt_half_t(p, e, t.data());
    } else {
      rotate_half(p, blocks.data(), x.data(), y.data());
      tilt_half(p, e, t.data());
    }
    for (int n = 0; n <= p; ++n)
      for (int m = 0; m <= n; ++m) {
        // |J| <= 2n in this basis: the O(e^2) remainder is below 2 e^2 n^2 of the degree's size.
        double big = 0.0, diff = 0.0;
        for (int k = 0; k <= n; ++k)
          for (int q = 0; q < 8; ++q) big = std::max(big, std::abs(y[8 * half_index(n, k) + q]));
        for (int q = 0; q < 8; ++q)
          diff =
              std::max(diff, std::abs(y[8 * half_index(n, m) + q] - t[8 * half_index(n, m) + q]));
        EXPECT_LE(diff, 1e-9 * big) << "n " << n << " m " << m << " transposed " << transposed;
      }
  }
}

// Multipole to local equals the direct sum for lattice, noisy and random offsets, p = 0..16.
TEST(Translate, MultipoleToLocalMatchesDirectSum) {
  // All 316 offsets at cell size 1 and, for p = 0, 4, .., 16, at sizes 1/32
  // and 3.7; every third of them moved by rounding noise; 30 random offsets.
  std::mt19937 rng(11);
  for (int p = 0; p <= 16; ++p) {
    Fixture f(p);
    double worst = 0.0;
    for (double h : {1.0, 0.03125, 3.7}) {
      if (h != 1.0 && p % 4 != 0) continue;
      auto make = [&] { return random_moments(p, h, rng); };
      const auto lattice = m2l_offsets(h);
      worst = std::max(worst, worst_error(f, Kind::kM2L, lattice, make));
      if (h == 1.0) {
        std::vector<Vec3> some;
        for (std::size_t i = 0; i < lattice.size(); i += 3) some.push_back(lattice[i]);
        worst = std::max(worst, worst_error(f, Kind::kM2L, perturbed(some, rng), make));
        worst =
            std::max(worst, worst_error(f, Kind::kM2L, random_offsets(30, 2.0, 5.0, rng), make));
      }
    }
    EXPECT_LE(worst, tol(p)) << "p " << p;
  }
}

// Moment to moment equals the direct sum for child, noisy and random offsets, p = 0..16.
TEST(Translate, MomentToMomentMatchesDirectSum) {
  std::mt19937 rng(12);
  for (int p = 0; p <= 16; ++p) {
    Fixture f(p);
    double worst = 0.0;
    for (double h : {1.0, 0.03125, 3.7}) {
      auto make = [&] { return random_moments(p, 0.5 * h, rng); };
      const auto kids = child_offsets(h);
      worst = std::max(worst, worst_error(f, Kind::kM2M, kids, make));
      worst = std::max(worst, worst_error(f, Kind::kM2M, perturbed(kids, rng), make));
    }
    auto make = [&] { return random_moments(p, 0.5, rng); };
    worst = std::max(worst, worst_error(f, Kind::kM2M, random_offsets(20, 0.1, 1.0, rng), make));
    EXPECT_LE(worst, tol(p)) << "p " << p;
  }
}

// Local to local equals the direct sum for child, noisy and random offsets, p = 0..16.
TEST(Translate, LocalToLocalMatchesDirectSum) {
  std::mt19937 rng(13);
  for (int p = 0; p <= 16; ++p) {
    Fixture f(p);
    double worst = 0.0;
    for (double h : {1.0, 0.03125, 3.7}) {
      auto make = [&] { return random_locals(p, h, rng); };
      const auto kids = child_offsets(h);
      worst = std::max(worst, worst_error(f, Kind::kL2L, kids, make));
      worst = std::max(worst, worst_error(f, Kind::kL2L, perturbed(kids, rng), make));
    }
    auto make = [&] { return random_locals(p, 1.0, rng); };
    worst = std::max(worst, worst_error(f, Kind::kL2L, random_offsets(20, 0.1, 1.0, rng), make));
    EXPECT_LE(worst, tol(p)) << "p " << p;
  }
}

// The general variants equal the direct sums on expansions without the real-density symmetry.
TEST(Translate, GeneralVariantsMatchDirectSums) {
  std::mt19937 rng(14);
  for (int p : {0, 1, 5, 10, 16}) {
    Fixture f(p);
    auto moments = [&] { return random_general(p, 1.0, false, rng); };
    auto half_moments = [&] { return random_general(p, 0.5, false, rng); };
    auto locals = [&] { return random_general(p, 1.0, true, rng); };
    const auto lattice = m2l_offsets(1.0);
    const std::vector<Vec3> some(lattice.begin(), lattice.begin() + 40);
    EXPECT_LE(worst_error(f, Kind::kM2L, some, moments, true), tol(p)) << "p " << p;
    EXPECT_LE(worst_error(f, Kind::kM2M, child_offsets(1.0), half_moments, true), tol(p));
    EXPECT_LE(worst_error(f, Kind::kL2L, child_offsets(1.0), locals, true), tol(p));
  }
}

// The output keeps the symmetry exactly and does not depend on the work array's old content.
TEST(Translate, OutputSymmetricAndWorkIndependent) {
  const int p = 9;
  Fixture f(p);
  std::mt19937 rng(15);
  const Cell M = random_moments(p, 1.0, rng);
  const double xh[3] = {2.0, -1.0, 3.0};
  Cell a = zero_cell(p), b = zero_cell(p);
  m2l_add(f.op, M.data(), xh, a.data(), f.work.data());  // work full of NaN
  std::fill(f.work.begin(), f.work.end(), Complex(1e300, -1e300));
  m2l_add(f.op, M.data(), xh, b.data(), f.work.data());
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m)
      for (int j = 1; j <= 4; ++j) {
        const Complex v = a[at(p, j, m, n)], w = a[at(p, j, -m, n)];
        const double sg = (m % 2 == 0) ? 1.0 : -1.0;
        EXPECT_EQ(v, b[at(p, j, m, n)]);
        EXPECT_EQ(v.real(), sg * w.real());
        EXPECT_EQ(v.imag(), -sg * w.imag());
      }
}

std::vector<double> pack_half(int p, const Cell& x) {
  std::vector<double> h(half_size(p));
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m)
      for (int j = 1; j <= 4; ++j) {
        h[8 * half_index(n, m) + j - 1] = x[at(p, j, m, n)].real();
        h[8 * half_index(n, m) + j + 3] = x[at(p, j, m, n)].imag();
      }
  return h;
}

// The half-layout entry points give the same bits as the full layout.
TEST(Translate, HalfLayoutSameBitsAsFullLayout) {
  std::mt19937 rng(16);
  for (int p : {0, 3, 8, 13}) {
    Fixture f(p);
    const Cell M = random_moments(p, 1.0, rng), L = random_locals(p, 1.0, rng);
    const Cell out0 = random_locals(p, 1.0, rng);
    const double xh[3] = {2.0, -3.0, 1.0}, d[3] = {0.25, 0.25, -0.25};
    for (int kind = 0; kind < 3; ++kind) {
      Cell full = out0;
      std::vector<double> half = pack_half(p, out0);
      const std::vector<double> mh = pack_half(p, M), lh = pack_half(p, L);
      if (kind == 0) {
        m2l_add(f.op, M.data(), xh, full.data(), f.work.data());
        m2l_add_half(f.op, mh.data(), xh, half.data(), f.work.data());
      } else if (kind == 1) {
        m2m_add(f.op, M.data(), d, full.data(), f.work.data());
        m2m_add_half(f.op, mh.data(), d, half.data(), f.work.data());
      } else {
        l2l_add(f.op, L.data(), d, full.data(), f.work.data());
        l2l_add_half(f.op, lh.data(), d, half.data(), f.work.data());
      }
      const std::vector<double> want = pack_half(p, full);
      for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(half[i], want[i]) << "p " << p << " kind " << kind << " i " << i;
    }
  }
}

// A pair of multipole-to-local translations gives the bits of the two single calls in turn:
// every pair of lattice offsets (shared polar angle or not, equal lengths or not), perturbed
// lattice offsets, and off-lattice ones.
TEST(Translate, PairSameBitsAsTwoSingleCalls) {
  std::mt19937 rng(23);
  for (int p : {0, 5, 15}) {
    Fixture f(p);
    std::vector<Vec3> offs = m2l_offsets(1.0);
    const std::vector<Vec3> moved = perturbed(m2l_offsets(0.5), rng);
    offs.insert(offs.end(), moved.begin(), moved.begin() + 40);
    const std::vector<Vec3> odd = random_offsets(4, 2.0, 4.0, rng);
    offs.insert(offs.end(), odd.begin(), odd.end());
    const std::vector<double> ma = pack_half(p, random_moments(p, 1.0, rng));
    const std::vector<double> mb = pack_half(p, random_moments(p, 1.0, rng));
    const std::vector<double> l0 = pack_half(p, random_locals(p, 1.0, rng));
    int shared = 0;
    for (std::size_t a = 0; a < offs.size(); a += (p == 15 ? 3 : 1)) {
      for (std::size_t b = 0; b < offs.size(); b += 7) {
        const double* xa = offs[a].data();
        const double* xb = offs[b].data();
        const std::ptrdiff_t ka = m2l_angle_index(f.op, xa);
        shared += ka >= 0 && ka == m2l_angle_index(f.op, xb);
        std::vector<double> one = l0, two = l0;
        m2l_add_half(f.op, ma.data(), xa, one.data(), f.work.data());
        m2l_add_half(f.op, mb.data(), xb, one.data(), f.work.data());
        m2l_add_half_pair(f.op, ma.data(), xa, mb.data(), xb, two.data(), f.work.data());
        ASSERT_EQ(0, std::memcmp(one.data(), two.data(), one.size() * sizeof(double)))
            << "p " << p << " offsets " << a << ", " << b;
      }
    }
    EXPECT_GT(shared, 10) << "p " << p;
  }
}

// Accumulates the contribution c into the cell sum and the size of each of its
// degrees, max_m |c(j,m,n)| w(n,m), into norm(j,n): the sum of these sizes
// bounds the rounding of the sum of contributions.
void accumulate(int p, const Cell& c, bool local, Cell& sum, std::vector<double>& norm) {
  for (int j = 1; j <= 4; ++j)
    for (int n = 0; n <= p; ++n) {
      double big = 0.0;
      for (int m = -n; m <= n; ++m) {
        sum[at(p, j, m, n)] += c[at(p, j, m, n)];
        big = std::max(big, modulus(c[at(p, j, m, n)]) * (local ? 1.0 / nu(n, m) : nu(n, m)));
      }
      norm[(j - 1) * (p + 1) + n] += big;
    }
}

// Largest per-degree difference of two cells against the summed sizes of the
// contributions.
double cell_error(int p, const Cell& fast, const Complex* ref, const std::vector<double>& norm,
                  bool local) {
  double worst = 0.0;
  for (int j = 1; j <= 4; ++j)
    for (int n = 0; n <= p; ++n) {
      double num = 0.0;
      for (int m = -n; m <= n; ++m)
        num = std::max(num, modulus(fast[at(p, j, m, n)] - ref[at(p, j, m, n)]) *
                                (local ? 1.0 / nu(n, m) : nu(n, m)));
      const double den = norm[(j - 1) * (p + 1) + n];
      if (den > 0.0) worst = std::max(worst, num / den);
    }
  return worst;
}

// On a real tree the fast operators rebuild the moments of UPWRD and the local expansions of DNWRD.
TEST(Translate, RebuildsTheExpansionsOfThePasses) {
  // Off-centre sphere, so that the cell centres carry rounding.  Also checks
  // that the passes' expansions have the symmetry of real densities.  The sums
  // over a cell's contributions cancel strongly in some degrees, so the
  // difference is measured against the summed sizes of the contributions.
  const int p = 10;
  const double centre[3] = {0.3, -0.7, 1.9};
  const testing::Model model = testing::make_model(icosphere(3, 1.0, centre), 1.0, 21);
  testing::FmmSetup setup(model, 6, p);
  const std::size_t ndof = 3 * static_cast<std::size_t>(model.mesh.nelem);
  std::vector<double> x(ndof), y(ndof, 0.0);
  for (std::size_t i = 0; i < ndof; ++i) x[i] = std::sin(0.37 * static_cast<double>(i) + 0.1);
  setup.apply(model, 1, x.data(), y.data());
  const Tree t = setup.tree.view();
  const ExpanView<const Complex> cmom(setup.exp->cmom(), p), cloc(setup.exp->cloc(), p);
  Fixture f(p);
  const int nlev = *t.nlev;
  ASSERT_GE(nlev, 4);
  double sym = 0.0, m2m_err = 0.0, local_err = 0.0;
  int rebuilt = 0;
  CellLists lists;
  for (int lev = 2; lev <= nlev; ++lev) {
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) {
      const Complex* mb = cmom.cell(b);
      for (int n = 0; n <= p; ++n) {
        double big = 0.0, dev = 0.0;
        for (int m = -n; m <= n; ++m)
          for (int j = 1; j <= 4; ++j) {
            const Complex a = mb[at(p, j, m, n)], c = mb[at(p, j, -m, n)];
            const double sg = (m % 2 == 0) ? 1.0 : -1.0;
            big = std::max(big, modulus(a) * nu(n, m));
            dev = std::max(dev, modulus(a - Complex(sg * c.real(), -sg * c.imag())) * nu(n, m));
          }
        if (big > 0.0) sym = std::max(sym, dev / big);
      }
      std::vector<double> norm(4 * (p + 1), 0.0);
      if (lev < nlev && !is_leaf(t, b, lev, setup.maxl, setup.minlev)) {
        Cell sum = zero_cell(p);
        for (int oct = 1; oct <= 8; ++oct) {
          const int c = t.child(b, oct);
          if (c == 0) continue;
          const double d[3] = {t.cen(c, 1) - t.cen(b, 1), t.cen(c, 2) - t.cen(b, 2),
                               t.cen(c, 3) - t.cen(b, 3)};
          Cell one = zero_cell(p);
          m2m_add(f.op, cmom.cell(c), d, one.data(), f.work.data());
          accumulate(p, one, false, sum, norm);
        }
        m2m_err = std::max(m2m_err, cell_error(p, sum, mb, norm, false));
      }
      cell_lists(t, b, lev, setup.minlev, setup.maxl, lists);
      Cell loc = zero_cell(p);
      std::fill(norm.begin(), norm.end(), 0.0);
      for (int i = 0; i < lists.ninter; ++i) {
        const int c = lists.inter[i];
        const double xh[3] = {t.cen(b, 1) - t.cen(c, 1), t.cen(b, 2) - t.cen(c, 2),
                              t.cen(b, 3) - t.cen(c, 3)};
        Cell one = zero_cell(p);
        m2l_add(f.op, cmom.cell(c), xh, one.data(), f.work.data());
        accumulate(p, one, true, loc, norm);
      }
      if (lev >= 3) {
        const int par = t.parent(b);
        const double d[3] = {t.cen(b, 1) - t.cen(par, 1), t.cen(b, 2) - t.cen(par, 2),
                             t.cen(b, 3) - t.cen(par, 3)};
        Cell one = zero_cell(p);
        l2l_add(f.op, cloc.cell(par), d, one.data(), f.work.data());
        accumulate(p, one, true, loc, norm);
      }
      if (lists.ninter > 0 || lev >= 3) {
        local_err = std::max(local_err, cell_error(p, loc, cloc.cell(b), norm, true));
        ++rebuilt;
      }
    }
  }
  EXPECT_GT(rebuilt, 500);
  EXPECT_LE(sym, 1e-13);
  EXPECT_LE(m2m_err, tol(p));
  EXPECT_LE(local_err, tol(p));
}

// The operator tabulates the 49 polar angles of the lattice offsets and reports its memory.
TEST(Translate, PreparedOperatorSize) {
  M2LOperator op;
  m2l_prepare(op, 8);
  EXPECT_EQ(op.theta.size(), 49u);
  EXPECT_TRUE(std::is_sorted(op.theta.begin(), op.theta.end()));
  auto tabulated = [&](const Vec3& v) {
    const double t = std::atan2(std::sqrt(v[0] * v[0] + v[1] * v[1]), v[2]);
    double best = 1.0;
    for (double th : op.theta) best = std::min(best, std::abs(t - th));
    return best < 1e-14;
  };
  for (const Vec3& v : m2l_offsets(0.37)) EXPECT_TRUE(tabulated(v));
  for (const Vec3& v : child_offsets(0.37)) EXPECT_TRUE(tabulated(v));
  EXPECT_EQ(op.memory_bytes(), 8u * (2 * 49 * 570 + 49));
  EXPECT_THROW(m2l_prepare(op, -1), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
