// Restarted GMRES on dense systems of known solution, served through the
// reverse-communication protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/records.hpp"
#include "gmres_harness.hpp"
#include "gmres_systems.hpp"

namespace velmora::gmres_test {
namespace {

constexpr int kN = 40;

class EachOrthogonalisation : public ::testing::TestWithParam<int> {};

// Every Gram-Schmidt variant converges to tol on a non-symmetric dominant
// system, and the returned x satisfies the forward-error bound of dominance.
TEST_P(EachOrthogonalisation, ConvergesOnDominantSystem) {
  const int n = kN;
  const double margin = 0.5, tol = 1e-10;
  Operators ops{n, dominant(n, margin, 11), {}, {}};
  const auto xs = random_vector(n, 12);
  const auto b = multiply(ops.A, n, xs);
  RunOptions opt;
  opt.m = n;
  opt.controls = [&](int* ictrl, double* rctrl) {
    ictrl[4] = GetParam();
    rctrl[0] = tol;
  };
  const auto o = run_gmres(ops, b, opt);
  EXPECT_EQ(o.info[0], 0);
  EXPECT_GE(o.info[1], 1);
  EXPECT_LE(o.info[1], n);
  EXPECT_LE(o.rinfo[0], tol);
  const double be = residual_norm(ops.A, n, b, o.x) / norm2(b);
  EXPECT_LE(be, tol * (1 + 1e-6));
  EXPECT_NEAR(o.rinfo[1], be, 1e-15);
  // ||x - x*||_inf <= ||b - A x||_inf / margin <= ||b - A x||_2 / margin.
  EXPECT_LE(max_abs(difference(o.x, xs)), residual_norm(ops.A, n, b, o.x) / margin * 1.001);
  EXPECT_EQ(o.namul, expected_products(o, n, false));
  EXPECT_EQ(o.nlprec + o.nrprec, 0);
}

INSTANTIATE_TEST_SUITE_P(Gmres, EachOrthogonalisation, ::testing::Values(0, 1, 2, 3));

// Restart lengths shorter than needed still converge, with the true and with
// the recurrence residual at restart; the iteration count runs on across
// cycles and a restart from the recurrence posts no matrix product.
TEST(GmresRestart, ShortCyclesConvergeWithBothResidualStrategies) {
  const int n = kN;
  const double tol = 1e-9;
  Operators ops{n, dominant(n, 0.3, 21), {}, {}};
  const auto xs = random_vector(n, 22);
  const auto b = multiply(ops.A, n, xs);
  for (int variant : {0, 3})
    for (int restart : {0, 1}) {
      RunOptions opt;
      opt.m = 4;
      opt.controls = [&](int* ictrl, double* rctrl) {
        ictrl[4] = variant;
        ictrl[6] = 500;
        ictrl[7] = restart;
        rctrl[0] = tol;
      };
      const auto o = run_gmres(ops, b, opt);
      SCOPED_TRACE("variant " + std::to_string(variant) + " restart " + std::to_string(restart));
      EXPECT_EQ(o.info[0], 0);
      EXPECT_GT(o.info[1], 2 * opt.m);
      EXPECT_LE(residual_norm(ops.A, n, b, o.x) / norm2(b), tol * (1 + 1e-6));
      EXPECT_EQ(o.namul, expected_products(o, opt.m, false));
      // Iterations numbered 1, 2, ... without gaps across the restarts.
      const auto h = history(o);
      int expect = 1;
      for (std::size_t i = 0; i < h.size(); ++i) {
        if (i > 0 && h[i].iteration == h[i - 1].iteration) continue;  // the check of a step
        EXPECT_EQ(h[i].iteration, expect++);
      }
      EXPECT_EQ(expect - 1, o.info[1]);
    }
}

// With the residual from the recurrence at restart (ictrl(8) = 0), each later
// cycle starts from the true residual of the restart iterate x, normalised:
// (b - A x) / ||b - A x||, and P1 (b - A x) / ||P1 (b - A x)|| with left
// preconditioning.  It is the input of the first product of the cycle.
TEST(GmresRestart, RecurrenceResidualIsTheTrueResidual) {
  const int n = kN, m = 4, cycles = 3;
  Operators ops{n, dominant(n, 0.3, 31), dominant(n, 2.0, 32), {}};
  const auto b = random_vector(n, 33);
  for (int iprec : {0, 1}) {
    SCOPED_TRACE("iprec " + std::to_string(iprec));
    int products = 0, checked = 0;
    RunOptions opt;
    opt.m = m;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[3] = iprec;
      ictrl[4] = 3;
      ictrl[6] = cycles * m;
      ictrl[7] = 0;
      rctrl[0] = 1e-15;  // never met: no checks inside a cycle
    };
    opt.observe = [&](int code, const double* work, const double* v) {
      if (code != req_amul) return;
      const int k = products++;
      // First product of cycle 2, 3, ... (the product after the last cycle
      // checks the final iterate): x = WORK(1..n) is the restart iterate.
      if (k == 0 || k % m != 0 || k >= cycles * m) return;
      const std::vector<double> x(work, work + n);
      std::vector<double> r = difference(b, multiply(ops.A, n, x));
      if (iprec == 1) r = multiply(ops.P1, n, r);
      // The recurrence tracks b - A x up to rounding of the order of
      // eps (||b|| + ||A|| ||x||) (times ||P1|| when left preconditioned):
      // v ||r|| must agree with r to that, far below ||r|| itself.
      const double rn = norm2(r);
      const double anorm = norm2(ops.A), pnorm = iprec == 1 ? norm2(ops.P1) : 1.0;
      const double floor = 1e-13 * pnorm * (norm2(b) + anorm * norm2(x));
      double worst = 0.0;
      for (int i = 0; i < n; ++i) worst = std::max(worst, std::fabs(v[i] * rn - r[i]));
      EXPECT_LT(worst, floor) << "cycle " << k / m + 1;
      EXPECT_GT(rn, 1e4 * floor);  // a wrong residual would show
      ++checked;
    };
    const auto o = run_gmres(ops, b, opt);
    EXPECT_EQ(o.info[0], -4);
    EXPECT_EQ(checked, cycles - 1);
  }
}

// Left, right and both preconditioners undo a diagonal scaling exactly: the
// preconditioned operator is the unscaled matrix, so the iteration count is
// that of the unscaled system and x solves the scaled one.
TEST(GmresPreconditioning, LeftRightAndBothUndoAScaling) {
  const int n = 30;
  const double tol = 1e-10;
  const Matrix A = dominant(n, 0.5, 31);
  std::vector<double> d1(n), d2(n), d1i(n), d2i(n);
  for (int i = 0; i < n; ++i) {
    d1[i] = std::pow(10.0, i % 5 - 2);
    d2[i] = std::pow(4.0, (i * 7) % 6 - 3);
    d1i[i] = 1.0 / d1[i];
    d2i[i] = 1.0 / d2[i];
  }
  const auto xs = random_vector(n, 32);
  Operators plain{n, A, {}, {}};
  RunOptions opt;
  opt.m = n;
  opt.controls = [&](int*, double* rctrl) { rctrl[0] = tol; };
  const auto ref = run_gmres(plain, multiply(A, n, xs), opt);
  ASSERT_EQ(ref.info[0], 0);

  for (int prec : {1, 2, 3}) {
    SCOPED_TRACE("preconditioning " + std::to_string(prec));
    const bool left = prec != 2, right = prec != 1;
    Operators ops{n, A, left ? diagonal(d1i) : Matrix{}, right ? diagonal(d2i) : Matrix{}};
    if (left) ops.A = product(diagonal(d1), ops.A, n);
    if (right) ops.A = product(ops.A, diagonal(d2), n);
    // Solution of the scaled system: x = D2^-1 x*.
    std::vector<double> x_scaled(n);
    for (int i = 0; i < n; ++i) x_scaled[i] = right ? xs[i] * d2i[i] : xs[i];
    const auto b = multiply(ops.A, n, x_scaled);
    RunOptions po = opt;
    po.controls = [&](int* ictrl, double* rctrl) {
      ictrl[3] = prec;
      rctrl[0] = tol;
    };
    const auto o = run_gmres(ops, b, po);
    EXPECT_EQ(o.info[0], 0);
    EXPECT_NEAR(o.info[1], ref.info[1], 1);
    // Backward error of the preconditioned system, recomputed: ||P1 (b - A x)|| / ||P1 b||.
    std::vector<double> r(n), pr(n), pb(n);
    for (int i = 0; i < n; ++i) r[i] = b[i];
    const auto ax = multiply(ops.A, n, o.x);
    for (int i = 0; i < n; ++i) r[i] -= ax[i];
    for (int i = 0; i < n; ++i) {
      pr[i] = left ? d1i[i] * r[i] : r[i];
      pb[i] = left ? d1i[i] * b[i] : b[i];
    }
    EXPECT_LE(norm2(pr) / norm2(pb), tol * 1.001);
    EXPECT_NEAR(o.rinfo[0], norm2(pr) / norm2(pb), 1e-14);
    EXPECT_NEAR(o.rinfo[1], residual_norm(ops.A, n, b, o.x) / norm2(b), 1e-12);
    // Each step asks for P2 V(:,j) and P1 A P2 V(:,j); start and check add P1 requests.
    if (right) {
      EXPECT_GE(o.nrprec, o.info[1]);
    }
    if (left) {
      EXPECT_GE(o.nlprec, o.info[1] + 2);
    }
  }
}

// An ill-conditioned system of known condition number: the forward error
// obeys ||x - x*|| <= kappa ||b - A x|| (||A^-1|| = kappa).
TEST(GmresIllConditioned, ForwardErrorWithinConditionBound) {
  const int n = 24;
  const double kappa = 1e6, tol = 1e-12;
  Operators ops{n, conditioned(n, kappa, 41), {}, {}};
  const auto xs = random_vector(n, 42);
  const auto b = multiply(ops.A, n, xs);
  for (int variant : {1, 3}) {
    RunOptions opt;
    opt.m = n;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[4] = variant;
      ictrl[6] = 3 * n;
      rctrl[0] = tol;
    };
    const auto o = run_gmres(ops, b, opt);
    EXPECT_EQ(o.info[0], 0);
    const double res = residual_norm(ops.A, n, b, o.x);
    EXPECT_LE(res / norm2(b), tol * 1.001);
    EXPECT_LE(norm2(difference(o.x, xs)), kappa * res * 1.001);
  }
}

// A supplied initial guess is used (one extra product) and shortens the
// solve; with ictrl(6) = 0 whatever WORK(1..n) holds is ignored.
TEST(GmresInitialGuess, UsedWhenSuppliedIgnoredOtherwise) {
  const int n = kN;
  const double tol = 1e-10;
  Operators ops{n, dominant(n, 0.5, 51), {}, {}};
  const auto xs = random_vector(n, 52);
  const auto b = multiply(ops.A, n, xs);
  RunOptions cold;
  cold.m = n;
  cold.x_fill = std::nan("");
  cold.controls = [&](int*, double* rctrl) { rctrl[0] = tol; };
  const auto o0 = run_gmres(ops, b, cold);
  EXPECT_EQ(o0.info[0], 0);
  EXPECT_LE(residual_norm(ops.A, n, b, o0.x) / norm2(b), tol * 1.001);

  std::vector<double> guess(xs);
  const auto noise = random_vector(n, 53);
  for (int i = 0; i < n; ++i) guess[i] += 1e-6 * noise[i];
  RunOptions warm = cold;
  warm.x0 = &guess;
  warm.controls = [&](int* ictrl, double* rctrl) {
    ictrl[5] = 1;
    rctrl[0] = tol;
  };
  const auto o1 = run_gmres(ops, b, warm);
  EXPECT_EQ(o1.info[0], 0);
  EXPECT_LT(o1.info[1], o0.info[1]);
  EXPECT_LE(residual_norm(ops.A, n, b, o1.x) / norm2(b), tol * 1.001);
  EXPECT_EQ(o1.namul, expected_products(o1, n, true));
}

// The iteration limit ends the solve with info(1) = -4 and the iterate of the
// last step: the residual minimiser over the Krylov space, restarted or not.
TEST(GmresIterationLimit, ReturnsTheLastIterate) {
  const int n = 30;
  Operators ops{n, dominant(n, 0.2, 61), {}, {}};
  const auto b = random_vector(n, 62);
  const std::vector<double> zero(n, 0.0);
  struct Case {
    int m, maxit;
  };
  for (const Case c : {Case{10, 5}, Case{3, 5}, Case{2, 7}}) {
    RunOptions opt;
    opt.m = c.m;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[6] = c.maxit;
      rctrl[0] = 1e-14;
    };
    const auto o = run_gmres(ops, b, opt);
    SCOPED_TRACE("m " + std::to_string(c.m) + " maxit " + std::to_string(c.maxit));
    EXPECT_EQ(o.info[0], -4);
    EXPECT_EQ(o.info[1], c.maxit);
    std::vector<double> x = zero;
    for (int done = 0; done < c.maxit; done += c.m)
      x = krylov_minimiser(ops.A, n, b, x, std::min(c.m, c.maxit - done));
    EXPECT_LE(norm2(difference(o.x, x)), 1e-10 * norm2(x));
    EXPECT_NEAR(o.rinfo[1], residual_norm(ops.A, n, b, o.x) / norm2(b), 1e-13);
  }
}

// Theory fixes the count: on the cyclic shift with b = e1, GMRES without
// restart stagnates (backward error exactly 1) until it converges exactly at
// step n; restarted with m < n it never moves from x = 0.
TEST(GmresIterationCount, CyclicShiftStagnatesUntilStepN) {
  const int n = 8;
  Operators ops{n, cyclic_shift(n, std::vector<double>(n, 1.0)), {}, {}};
  std::vector<double> b(n, 0.0);
  b[0] = 1.0;
  for (int restart : {0, 1}) {
    RunOptions opt;
    opt.m = n;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[7] = restart;
      rctrl[0] = 1e-12;
    };
    const auto o = run_gmres(ops, b, opt);
    EXPECT_EQ(o.info[0], 0);
    EXPECT_EQ(o.info[1], n);
    EXPECT_EQ(o.rinfo[0], 0.0);
    std::vector<double> xs(n, 0.0);
    xs[n - 1] = 1.0;  // A^-1 e1 = e_n
    EXPECT_EQ(o.x, xs);
    for (int j = 1; j < n; ++j)
      EXPECT_EQ(o.console[j], fmt::I(j, 5) + "         0.1000E+01         --");
  }
  RunOptions opt;
  opt.m = 4;
  opt.controls = [&](int* ictrl, double*) { ictrl[6] = 3 * n; };
  const auto o = run_gmres(ops, b, opt);
  EXPECT_EQ(o.info[0], -4);
  EXPECT_EQ(o.info[1], 3 * n);
  EXPECT_EQ(o.x, std::vector<double>(n, 0.0));
  EXPECT_EQ(o.rinfo[0], 1.0);
}

// A = I + u v^T has a minimal polynomial of degree 2: GMRES converges at step 2.
TEST(GmresIterationCount, RankOnePerturbationOfIdentityTakesTwoSteps) {
  const int n = 25;
  const auto u = random_vector(n, 71), v = random_vector(n, 72);
  Matrix A(static_cast<std::size_t>(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) A[i + j * n] = (i == j ? 1.0 : 0.0) + 0.3 * u[i] * v[j];
  Operators ops{n, A, {}, {}};
  const auto xs = random_vector(n, 73);
  const auto b = multiply(A, n, xs);
  for (int variant = 0; variant < 4; ++variant) {
    RunOptions opt;
    opt.m = 10;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[4] = variant;
      rctrl[0] = 1e-12;
    };
    const auto o = run_gmres(ops, b, opt);
    EXPECT_EQ(o.info[0], 0);
    EXPECT_EQ(o.info[1], 2);
    EXPECT_LE(norm2(difference(o.x, xs)), 1e-12 * norm2(xs));
  }
}

// ictrl(7) = 1: the first step makes the true-residual check and ends the
// solve, converged (A = 2I) or not (info(1) = -4), with info(2) = 1.
TEST(GmresIterationLimit, OneIterationAlwaysChecksAndEnds) {
  const int n = 12;
  const auto b = random_vector(n, 81);
  std::vector<double> two(n, 2.0);
  Operators easy{n, diagonal(two), {}, {}};
  Operators hard{n, dominant(n, 0.5, 82), {}, {}};
  RunOptions opt;
  opt.m = 5;
  opt.controls = [&](int* ictrl, double*) { ictrl[6] = 1; };
  const auto o1 = run_gmres(easy, b, opt);
  EXPECT_EQ(o1.info[0], 0);
  EXPECT_EQ(o1.info[1], 1);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(o1.x[i], b[i] / 2.0, 1e-15);
  const auto o2 = run_gmres(hard, b, opt);
  EXPECT_EQ(o2.info[0], -4);
  EXPECT_EQ(o2.info[1], 1);
  const auto h = history(o2);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_TRUE(h[0].checked);
  const auto x1 = krylov_minimiser(hard.A, n, b, std::vector<double>(n, 0.0), 1);
  EXPECT_LE(norm2(difference(o2.x, x1)), 1e-14 * norm2(x1));
}

// Zero right-hand side: x = 0 after the first request, no product, all
// results 0, and its warning.
TEST(GmresTrivialExits, ZeroRightHandSide) {
  const int n = 6;
  Operators ops{n, dominant(n, 1.0, 91), {}, {}};
  const std::vector<double> b(n, 0.0), guess(n, 3.0);
  RunOptions opt;
  opt.m = 3;
  opt.x0 = &guess;
  opt.controls = [](int* ictrl, double*) { ictrl[5] = 1; };
  const auto o = run_gmres(ops, b, opt);
  EXPECT_EQ(o.request_codes, (std::vector<int>{req_dots, req_done}));
  EXPECT_EQ(o.x, std::vector<double>(n, 0.0));
  const std::vector<std::string> warning{" ", " WARNING GMRES : ", "       Null right hand side",
                                         "       solution set to zero", " "};
  ASSERT_GE(o.log.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(o.log.end() - 5, o.log.end()), warning);
  EXPECT_EQ(o.console.size(), 1u);  // the heading, no history line
  EXPECT_EQ(o.info[0], 0);
  EXPECT_EQ(o.info[1], 0);
  EXPECT_EQ(o.rinfo[0], 0.0);
  EXPECT_EQ(o.rinfo[1], 0.0);
}

// An initial guess that solves the system exactly ends the solve after the
// first residual norm with its warning, leaving x untouched.
TEST(GmresTrivialExits, ExactInitialGuess) {
  const int n = 6;
  const std::vector<double> d{1, 2, 4, 8, 16, 32}, xs{1, -2, 3, 0.5, 0.25, -1};
  Operators ops{n, diagonal(d), {}, {}};
  const auto b = multiply(ops.A, n, xs);
  RunOptions opt;
  opt.m = 3;
  opt.x0 = &xs;
  opt.controls = [](int* ictrl, double*) { ictrl[5] = 1; };
  const auto o = run_gmres(ops, b, opt);
  EXPECT_EQ(o.request_codes, (std::vector<int>{req_dots, req_amul, req_dots, req_done}));
  EXPECT_EQ(o.x, xs);
  const std::vector<std::string> warning{" ", " WARNING GMRES : ", "       Intial residual is zero",
                                         "       initial guess is solution", " "};
  ASSERT_GE(o.log.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(o.log.end() - 5, o.log.end()), warning);
  EXPECT_EQ(o.info[0], 0);
  EXPECT_EQ(o.info[1], 0);
  EXPECT_EQ(o.rinfo[0], 0.0);
}

// On a system with condition number 1e12 whose solution is large, the
// estimate falls below tol while the true backward error stays near
// u * kappa: the check shows both values, the iteration goes on, and every
// later restart recomputes the true residual although ictrl(8) = 0.
TEST(GmresTrueResidualCheck, EstimateMeetsTolButTrueErrorDoesNot) {
  const int n = 12;
  const double kappa = 1e12, tol = 1e-9;
  Operators ops{n, conditioned(n, kappa, 101), {}, {}};
  // x* mostly along the right singular vector of the smallest singular value
  // (column n of the reflection W of conditioned()), so that ||x*|| >> ||b||.
  const auto wv = random_vector(n, 102), noise = random_vector(n, 103);
  const double ww = norm2(wv) * norm2(wv);
  std::vector<double> xs(n);
  for (int i = 0; i < n; ++i)
    xs[i] = (i == n - 1 ? 1.0 : 0.0) - 2.0 * wv[i] * wv[n - 1] / ww + 1e-9 * noise[i];
  const auto b = multiply(ops.A, n, xs);
  RunOptions opt;
  opt.m = n;
  opt.controls = [&](int* ictrl, double* rctrl) {
    ictrl[4] = 3;
    ictrl[6] = 4 * n;
    ictrl[7] = 0;
    rctrl[0] = tol;
  };
  const auto o = run_gmres(ops, b, opt);
  const auto h = history(o);
  int early_checks = 0;
  for (std::size_t i = 0; i < h.size(); ++i) {
    if (!h[i].checked || h[i].iteration == o.info[1]) continue;
    // A check that did not end the solve: the estimate met tol, the true error did not.
    const std::string& line = o.console[i + 1];
    EXPECT_LE(std::stod(line.substr(14, 10)), tol) << line;
    EXPECT_GT(std::stod(line.substr(29, 10)), tol) << line;
    ++early_checks;
  }
  EXPECT_GE(early_checks, 1);
  EXPECT_EQ(o.info[0], -4);
  EXPECT_EQ(o.info[1], 4 * n);
  EXPECT_EQ(o.namul, expected_products(o, n, false));
}

// An invariant Krylov space found before the end of a cycle (exact
// breakdown, hn = 0) while the true error still exceeds tol: the cycle ends
// there and the solve restarts from its iterate instead of building a basis
// vector r/0.  Here b = e1 spans an invariant space of dimension 4 of a scaled
// cyclic shift; the iterate 1/49 e4 leaves the residual 1 - 49*(1/49) = 2^-53,
// and the second cycle then converges exactly.
TEST(GmresBreakdown, ExactBreakdownAboveTolRestartsFromItsIterate) {
  const int n = 10;
  Matrix A(static_cast<std::size_t>(n) * n, 0.0);
  const double d[4] = {3.0, 5.0, 7.0, 49.0};
  for (int j = 0; j < 4; ++j) A[(j + 1) % 4 + j * n] = d[j];
  for (int j = 4; j < n; ++j) A[j + j * n] = j + 1.0;
  Operators ops{n, A, {}, {}};
  std::vector<double> b(n, 0.0), xs(n, 0.0);
  b[0] = 1.0;
  xs[3] = 1.0 / 49.0;
  for (int restart : {0, 1}) {
    RunOptions opt;
    opt.m = 8;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[6] = 20;
      ictrl[7] = restart;
      rctrl[0] = 0.0;
    };
    const auto o = run_gmres(ops, b, opt);
    for (double e : o.x) EXPECT_TRUE(std::isfinite(e));
    EXPECT_LE(max_abs(difference(o.x, xs)), 1e-17);
    EXPECT_EQ(o.info[0], 0);
    EXPECT_EQ(o.info[1], 8);
    ASSERT_EQ(o.console.size(), 9u);
    EXPECT_EQ(o.console[4], "    4         0.0000E+00     0.1110E-15");
    EXPECT_EQ(o.console[5], "    5         0.1110E-15         --");
    EXPECT_EQ(o.console[8], "    8         0.0000E+00     0.0000E+00");
  }
}

// Normalisations alpha*||x|| + beta of both backward errors (rctrl(2..5)),
// recomputed from the returned x.
TEST(GmresNormalisation, AlphaBetaNormalisationsOfBothBackwardErrors) {
  const int n = 20;
  Operators ops{n, dominant(n, 0.5, 111), {}, {}};
  std::vector<double> pdiag(n);
  for (int i = 0; i < n; ++i) pdiag[i] = 1.0 / ops.A[i + i * n];
  ops.P1 = diagonal(pdiag);
  ops.P2 = diagonal(pdiag);
  const auto xs = random_vector(n, 112);
  const auto b = multiply(ops.A, n, xs);
  for (int prec : {0, 2, 3}) {
    RunOptions opt;
    opt.m = 6;
    const double a1 = 2.0, b1 = 0.5, a2 = 3.0, b2 = 0.25, tol = 1e-10;
    opt.controls = [&](int* ictrl, double* rctrl) {
      ictrl[3] = prec;
      ictrl[6] = 200;
      rctrl[0] = tol;
      rctrl[1] = a1;
      rctrl[2] = b1;
      rctrl[3] = a2;
      rctrl[4] = b2;
    };
    const auto o = run_gmres(ops, b, opt);
    SCOPED_TRACE("preconditioning " + std::to_string(prec));
    EXPECT_EQ(o.info[0], 0);
    const double xn = norm2(o.x);
    std::vector<double> r(n);
    const auto ax = multiply(ops.A, n, o.x);
    for (int i = 0; i < n; ++i) r[i] = b[i] - ax[i];
    std::vector<double> pr(r);
    if (prec == 1 || prec == 3)
      for (int i = 0; i < n; ++i) pr[i] *= pdiag[i];
    EXPECT_NEAR(o.rinfo[1], norm2(r) / (a1 * xn + b1), 1e-15);
    EXPECT_NEAR(o.rinfo[0], norm2(pr) / (a2 * xn + b2), 1e-15);
    EXPECT_LE(o.rinfo[0], tol);
    // Every step forms its iterate for ||x||: one more P2 request per step.
    if (prec >= 2) {
      EXPECT_GE(o.nrprec, 2 * o.info[1]);
    }
  }
}

}  // namespace
}  // namespace velmora::gmres_test
