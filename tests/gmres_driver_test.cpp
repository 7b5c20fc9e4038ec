// The GMRES driver's checks, corrections and messages, the set-up summary,
// the history lines and the final report, byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/records.hpp"
#include "common/units.hpp"
#include "gmres_harness.hpp"
#include "solver/gmres.hpp"

namespace velmora::gmres_test {
namespace {

using Lines = std::vector<std::string>;

// Work-array length of restart length m, written out independently.
std::int64_t need(std::int64_t m, std::int64_t n, bool true_residual) {
  return m * (m + n + 5) + (true_residual ? 5 : 6) * n + 1;
}

struct FirstCall {
  int m = 0;
  int ictrl[8] = {};
  double rctrl[5] = {};
  int info[3] = {-99, -99, -99};
  double rinfo[2] = {};
  int ireq[5] = {-7, -7, -7, -7, -7};
  Lines log, err, console, unit9;
};

// One call of gmres_drive on a fresh state, with gmres_init's controls, no
// preconditioning and 100 iterations, then `controls`; unit 6 and unit 9 are
// captured.
FirstCall first_call(int n, int nlocal, int m, std::int64_t lwork,
                     const std::function<void(int*, double*)>& controls = {}) {
  FirstCall c;
  c.m = m;
  gmres_init(c.ictrl, c.rctrl);
  c.ictrl[3] = 0;
  c.ictrl[6] = 100;
  if (controls) controls(c.ictrl, c.rctrl);
  std::vector<double> work(static_cast<std::size_t>(std::max<std::int64_t>({lwork, nlocal, 1})),
                           1.0);
  std::ostringstream log, err, console, u9;
  {
    UnitsGuard guard;
    units().attach(6, &log);
    units().attach(9, &u9);
    units().set_error(&err);
    units().set_console(&console);
    GmresState state;
    gmres_drive(state, n, nlocal, c.m, static_cast<int>(lwork), work.data(), c.ireq, c.ictrl,
                c.rctrl, c.info, c.rinfo);
  }
  c.log = lines_of(log.str());
  c.err = lines_of(err.str());
  c.console = lines_of(console.str());
  c.unit9 = lines_of(u9.str());
  return c;
}

// An integer item of a free-format record: a separating blank, 11 columns.
std::string field(std::int64_t v) {
  return " " + fmt::I(v, 11);
}

// The informative warning on M and the size it needs.
Lines informative(std::int64_t m, std::int64_t lwork_min) {
  return {" ", " WARNING GMRES : ", "       For M = " + field(m) + " optimal value ",
          "       for LWORK =  " + field(lwork_min), " "};
}

// gmres_init fills exactly the documented defaults.
TEST(GmresInit, Defaults) {
  int ictrl[8] = {};
  double rctrl[5] = {9, 9, 9, 9, 9};
  gmres_init(ictrl, rctrl);
  EXPECT_EQ(std::vector<int>(ictrl, ictrl + 8), (std::vector<int>{6, 6, 0, 4, 0, 0, -1, 1}));
  EXPECT_EQ(std::vector<double>(rctrl, rctrl + 5), (std::vector<double>{1e-5, 0, 0, 0, 0}));
}

// The fatal checks: message on the error unit, info(1), req_done, info(3)
// untouched; N < 1 is reported even when M < 1 too.
TEST(GmresDriverErrors, FatalChecksInOrder) {
  const Lines n_error{" ", " ERROR GMRES : ", "     N < 1 ", " "};
  auto c = first_call(0, 0, 0, 100);
  EXPECT_EQ(c.log, n_error);
  EXPECT_EQ(c.info[0], -1);
  EXPECT_EQ(c.ireq[0], req_done);
  EXPECT_EQ(c.info[2], -99);
  c = first_call(5, 0, 3, 1000);
  EXPECT_EQ(c.log, n_error);
  EXPECT_EQ(c.info[0], -1);

  c = first_call(5, 5, 0, 1000);
  EXPECT_EQ(c.log, (Lines{" ", " ERROR GMRES :", "     M < 1 ", " "}));
  EXPECT_EQ(c.info[0], -2);
  EXPECT_EQ(c.ireq[0], req_done);

  // gmres_init's ictrl(4) = 4 is not a preconditioning.
  c = first_call(5, 5, 3, 1000, [](int* ictrl, double*) { ictrl[3] = 4; });
  EXPECT_EQ(c.log, (Lines{" ", " ERROR GMRES : ", "     Undefined preconditioner ", " "}));
  EXPECT_EQ(c.info[0], -5);
  EXPECT_EQ(c.info[2], -99);
  c = first_call(5, 5, 3, 1000, [](int* ictrl, double*) { ictrl[3] = -1; });
  EXPECT_EQ(c.info[0], -5);
}

// Errors go to ictrl(1), or to unit 6 when it is negative; ictrl(2) = 0
// silences the warnings but not the errors.
TEST(GmresDriverErrors, ErrorUnitSelection) {
  auto c = first_call(0, 1, 1, 100, [](int* ictrl, double*) { ictrl[0] = 9; });
  EXPECT_TRUE(c.log.empty());
  EXPECT_EQ(c.unit9, (Lines{" ", " ERROR GMRES : ", "     N < 1 ", " "}));
  c = first_call(0, 1, 1, 100, [](int* ictrl, double*) {
    ictrl[0] = -3;
    ictrl[1] = 0;
  });
  EXPECT_EQ(c.log, (Lines{" ", " ERROR GMRES : ", "     N < 1 ", " "}));
  EXPECT_EQ(c.ictrl[0], -3);  // mapped, not written back
}

// Too small a workspace: fatal when NLOCAL differs from N (one-line
// message), and when no restart length fits (two lines, LWORK < 6N + 7).
TEST(GmresDriverErrors, WorkspaceTooSmall) {
  const int n = 20;
  auto c = first_call(n, 10, 5, need(5, 10, true) - 1, [](int* ictrl, double*) { ictrl[1] = 0; });
  EXPECT_EQ(c.log, (Lines{" ", " ERROR GMRES : ", "     Not enough space for the problem", " "}));
  EXPECT_EQ(c.info[0], -3);
  EXPECT_EQ(c.m, 5);
  EXPECT_EQ(c.info[2], -99);

  const Lines none_fits{" ", " ERROR GMRES : ", "     Not enough space for the problem",
                        "     the space does not permit any m", " "};
  c = first_call(n, n, 5, need(1, n, true) - 1, [](int* ictrl, double*) { ictrl[1] = 0; });
  EXPECT_EQ(c.log, none_fits);
  EXPECT_EQ(c.info[0], -3);
  c = first_call(n, n, 5, need(1, n, true), [](int* ictrl, double*) { ictrl[1] = 0; });
  EXPECT_EQ(c.info[2], need(5, n, true));
  EXPECT_EQ(c.m, 1);
  // With the recurrence residual one more vector is needed.
  c = first_call(n, n, 5, need(1, n, false) - 1, [](int* ictrl, double*) {
    ictrl[1] = 0;
    ictrl[7] = 0;
  });
  EXPECT_EQ(c.log, none_fits);
  c = first_call(n, n, 5, 0, [](int* ictrl, double*) { ictrl[1] = 0; });
  EXPECT_EQ(c.log, none_fits);
}

// Each correctable control is corrected in place with its warning, after the
// informative one; the summary shows the corrected values.
TEST(GmresDriverWarnings, CorrectionsWithTheirMessages) {
  const int n = 7, m = 3;
  auto c = first_call(n, n, m, 1000, [](int* ictrl, double*) {
    ictrl[4] = -1;
    ictrl[5] = 2;
    ictrl[6] = 0;
    ictrl[7] = 5;
  });
  Lines expect = informative(3, 88);  // sized like ictrl(8) = 0
  const Lines rest{" ",
                   " WARNING  GMRES : ",
                   "       Undefined orthogonalisation ",
                   "       Default MGS ",
                   " ",
                   " ",
                   " WARNING GMRES : ",
                   "       Undefined intial guess ",
                   "       Default x0 = 0 ",
                   " ",
                   " ",
                   " WARNING GMRES :",
                   "       Negative max number of iterations",
                   "       Default N ",
                   " ",
                   " ",
                   " WARNING GMRES :",
                   "       Undefined strategy for the residual",
                   "       at restart",
                   "       Default 1 ",
                   " "};
  expect.insert(expect.end(), rest.begin(), rest.end());
  EXPECT_EQ(c.log, expect);
  EXPECT_EQ(c.ictrl[4], 0);
  EXPECT_EQ(c.ictrl[5], 0);
  EXPECT_EQ(c.ictrl[6], n);
  EXPECT_EQ(c.ictrl[7], 1);
  EXPECT_EQ(c.info[2], need(m, n, false));
  EXPECT_EQ(c.ireq[0], req_dots);  // the solve has started

  // Warnings silenced: the same corrections without any record.
  c = first_call(n, n, m, 1000, [](int* ictrl, double*) {
    ictrl[1] = 0;
    ictrl[4] = 7;
    ictrl[6] = -2;
  });
  EXPECT_TRUE(c.log.empty());
  EXPECT_EQ(c.ictrl[4], 0);
  EXPECT_EQ(c.ictrl[6], n);

  // Warnings on their own unit.
  c = first_call(n, n, m, 1000, [](int* ictrl, double*) { ictrl[1] = 9; });
  EXPECT_TRUE(c.log.empty());
  EXPECT_EQ(c.unit9, informative(3, 81));
}

// M > N becomes N with a warning, and info(3) is the size for M = N.
TEST(GmresDriverWarnings, RestartLongerThanTheSystem) {
  const int n = 6;
  auto c = first_call(n, n, n + 5, 1000, [](int* ictrl, double*) { ictrl[2] = 9; });
  Lines expect = informative(n + 5, need(n + 5, n, true));
  const Lines lowered{" ", " WARNING GMRES : ", "       Parameter M bigger than N",
                      "       New value for M " + field(6), " "};
  expect.insert(expect.end(), lowered.begin(), lowered.end());
  EXPECT_EQ(c.log, expect);
  EXPECT_EQ(c.m, n);
  EXPECT_EQ(c.info[2], need(n, n, true));
  ASSERT_GE(c.unit9.size(), 7u);
  EXPECT_EQ(c.unit9[6], "Restart:       6");
}

// LWORK equal to the size is accepted as it stands; one less lowers M to
// the largest restart length that fits, with a warning, while info(3) keeps
// the size of the requested M.
TEST(GmresDriverWarnings, WorkspaceExactAndOneShort) {
  const int n = 50;
  for (int restart : {1, 0}) {
    for (int m : {1, 2, 10, 30, 50}) {
      SCOPED_TRACE("m " + std::to_string(m) + " ictrl(8) " + std::to_string(restart));
      const std::int64_t lmin = need(m, n, restart == 1);
      auto set = [restart](int* ictrl, double*) { ictrl[7] = restart; };
      auto c = first_call(n, n, m, lmin, set);
      EXPECT_EQ(c.m, m);
      EXPECT_EQ(c.info[2], lmin);
      EXPECT_EQ(c.log.size(), 5u);  // the informative warning only

      c = first_call(n, n, m, lmin - 1, set);
      int largest = 0;
      while (need(largest + 1, n, restart == 1) <= lmin - 1) ++largest;
      if (largest < 1) {
        EXPECT_EQ(c.info[0], -3);
        continue;
      }
      EXPECT_EQ(c.info[2], lmin);
      EXPECT_EQ(c.m, largest);
      ASSERT_EQ(c.log.size(), 10u);
      EXPECT_EQ(c.log[6], " WARNING GMRES : ");
      EXPECT_EQ(c.log[7], "       Workspace too small for M");
      EXPECT_EQ(c.log[8], "       New value for M " + field(largest));
      EXPECT_EQ(c.log[9], " ");
    }
  }
}

// The lowered restart length never needs more than LWORK, also for systems
// so large that the single-precision root is off by some units; it stays
// within a few units of the largest length that fits.
TEST(GmresDriverWarnings, LoweredRestartAlwaysFits) {
  int checked = 0;
  for (std::int64_t n = 1000; n <= 400000000; n = n * 3 + 7)
    for (int m : {2, 3, 5, 8, 13, 21, 30, 47}) {
      for (int restart : {1, 0}) {
        const std::int64_t lwork = need(m, n, restart == 1) - 1;
        if (lwork > INT_MAX) continue;
        const int got =
            gmres_fitting_restart(static_cast<int>(n), static_cast<int>(lwork), restart, m);
        int largest = 0;
        while (need(largest + 1, n, restart == 1) <= lwork) ++largest;
        EXPECT_LE(got, largest) << "n " << n << " m " << m;
        EXPECT_GE(got, largest - 3) << "n " << n << " m " << m;
        if (got >= 1) {
          EXPECT_LE(need(got, n, restart == 1), lwork);
        }
        ++checked;
      }
    }
  EXPECT_GT(checked, 100);
  EXPECT_EQ(gmres_lwork_min(30, 100, 1), need(30, 100, true));
  EXPECT_EQ(gmres_lwork_min(30, 100, 7), need(30, 100, false));
  // A size beyond 32 bits is computed without wrapping.
  EXPECT_EQ(gmres_lwork_min(1000, 2000000000, 1), 1000LL * 2000001005LL + 10000000001LL);
}

// The set-up summary in its fixed columns, and the console heading.
TEST(GmresSummary, FixedColumnLines) {
  const int n = 50, m = 10;
  auto c = first_call(n, n, m, 5000, [](int* ictrl, double* rctrl) {
    ictrl[0] = -3;
    ictrl[1] = 9;
    ictrl[2] = 6;
    ictrl[3] = 3;
    ictrl[4] = 3;
    ictrl[5] = 1;
    ictrl[6] = 300;
    rctrl[0] = 1e-8;
  });
  const Lines expect{
      "                    CONVERGENCE HISTORY FOR GMRES",
      " ",
      "Errors are displayed in unit:  6",
      "Warnings are displayed in unit:  9",
      "Matrix size:      50",
      "Local matrix size:      50",
      "Restart:      10",
      "Left and right preconditioning",
      "Iterative classical Gram-Schmidt",
      "User supplied initial guess",
      "True residual computed at restart",
      "Maximum number of iterations:   300",
      "Tolerance for convergence: 0.10E-07",
      "Backward error on the unpreconditioned system Ax = b:",
      "    the residual is normalised by ||b||",
      "Backward error on the preconditioned system (P1)A(P2)y = (P1)b:",
      "     the preconditioned residual is normalised by ||(P1)b||",
      "Optimal size for the workspace:    901",
      " ",
      "Convergence history: b.e. on the preconditioned system",
      " Iteration   Arnoldi b.e.    True b.e.",
  };
  EXPECT_EQ(c.log, expect);
  EXPECT_EQ(c.console, (Lines{"  Iteration  Arnoldi b.e.    True b.e."}));
  EXPECT_EQ(c.unit9.size(), 5u);
}

// The alternative summary lines chosen by the controls.
TEST(GmresSummary, LinesChosenByTheControls) {
  const int n = 50;
  struct Case {
    std::function<void(int*, double*)> set;
    int line;
    Lines text;
  };
  const std::vector<Case> cases{
      {[](int* i, double*) { i[1] = 0; }, 3, {"Warnings are not displayed:"}},
      {[](int* i, double*) { i[3] = 0; }, 7, {"No preconditioning"}},
      {[](int* i, double*) { i[3] = 1; }, 7, {"Left preconditioning"}},
      {[](int* i, double*) { i[3] = 2; }, 7, {"Right preconditioning"}},
      {[](int* i, double*) { i[4] = 0; }, 8, {"Modified Gram-Schmidt"}},
      {[](int* i, double*) { i[4] = 1; }, 8, {"Iterative modified Gram-Schmidt"}},
      {[](int* i, double*) { i[4] = 2; }, 8, {"Classical Gram-Schmidt"}},
      {[](int* i, double*) { i[5] = 0; }, 9, {"Default initial guess x_0 = 0"}},
      {[](int* i, double*) { i[7] = 0; }, 10, {"Recurrence residual at restart"}},
      {[](int* i, double*) { i[7] = 0; }, 17, {"Optimal size for the workspace:    951"}},
      {[](int* i, double*) { i[6] = 0; }, 11, {"Maximum number of iterations:    50"}},
      {[](int*, double* r) { r[0] = 2.5e-3; }, 12, {"Tolerance for convergence: 0.25E-02"}},
      {[](int*, double* r) { r[1] = 2.0; },
       14,
       {"    the residual is normalised by ", "        0.20E+01 * ||x|| + 0.00E+00"}},
      {[](int*, double* r) { r[2] = 0.5; },
       14,
       {"    the residual is normalised by ", "        0.00E+00 * ||x|| + 0.50E+00"}},
      {[](int*, double* r) {
         r[3] = 3.0;
         r[4] = 0.25;
       },
       16,
       {"     the preconditioned residual is normalised by ",
        "        0.30E+01 * ||(P2)y|| + 0.25E+00"}},
  };
  for (const auto& k : cases) {
    auto c = first_call(n, n, 10, 5000, [&](int* ictrl, double* rctrl) {
      ictrl[1] = 9;
      ictrl[2] = 6;
      ictrl[3] = 3;
      ictrl[4] = 3;
      ictrl[5] = 1;
      k.set(ictrl, rctrl);
    });
    ASSERT_GE(c.log.size(), static_cast<std::size_t>(k.line) + k.text.size());
    for (std::size_t i = 0; i < k.text.size(); ++i) EXPECT_EQ(c.log[k.line + i], k.text[i]);
  }
}

// History lines in their columns on unit ictrl(3) and identically on the
// console, and the final report of a converged solve.
TEST(GmresHistory, ConvergedSolveLinesAndReport) {
  const int n = 4;
  Operators ops{n, Matrix(n * n, 0.0), {}, {}};
  for (int j = 0; j < n; ++j) ops.A[(j + 1) % n + j * n] = 1.0;  // cyclic shift
  std::vector<double> b(n, 0.0);
  b[0] = 1.0;
  RunOptions opt;
  opt.m = n;
  opt.controls = [](int* ictrl, double* rctrl) {
    ictrl[1] = 9;
    rctrl[0] = 1e-12;
  };
  const auto o = run_gmres(ops, b, opt);
  const Lines history{"    1         0.1000E+01         --", "    2         0.1000E+01         --",
                      "    3         0.1000E+01         --",
                      "    4         0.0000E+00     0.0000E+00"};
  Lines console{"  Iteration  Arnoldi b.e.    True b.e."};
  console.insert(console.end(), history.begin(), history.end());
  EXPECT_EQ(o.console, console);
  Lines tail = history;
  const Lines report{" ",
                     "  Convergence achieved!",
                     "B.E. on the preconditioned system:   0.00E+00",
                     "B.E. on the unpreconditioned system: 0.00E+00",
                     "info(1) =  0",
                     "Number of iterations (info(2)):     4"};
  tail.insert(tail.end(), report.begin(), report.end());
  ASSERT_EQ(o.log.size(), 21u + tail.size());
  EXPECT_EQ(Lines(o.log.begin() + 21, o.log.end()), tail);
}

// The iteration limit: both warnings (warning unit and history unit) and
// the report showing info(1) = -4.
TEST(GmresHistory, IterationLimitWarningsAndReport) {
  const int n = 4;
  Operators ops{n, Matrix(n * n, 0.0), {}, {}};
  for (int j = 0; j < n; ++j) ops.A[(j + 1) % n + j * n] = 1.0;
  std::vector<double> b(n, 0.0);
  b[0] = 1.0;
  RunOptions opt;
  opt.m = 2;
  opt.controls = [](int* ictrl, double*) {
    ictrl[1] = 6;
    ictrl[6] = 3;
  };
  const auto o = run_gmres(ops, b, opt);
  EXPECT_EQ(o.info[0], -4);
  const Lines tail{"    1         0.1000E+01         --",
                   "    2         0.1000E+01         --",
                   "    3         0.1000E+01     0.1000E+01",
                   " ",
                   " WARNING GMRES : ",
                   "       No convergence after " + field(3) + " iterations ",
                   " ",
                   " ",
                   " WARNING GMRES :",
                   "       No convergence after " + field(3) + " iterations ",
                   " ",
                   "B.E. on the preconditioned system:   0.10E+01",
                   "B.E. on the unpreconditioned system: 0.10E+01",
                   "info(1) = -4",
                   "Number of iterations (info(2)):     3"};
  ASSERT_GE(o.log.size(), tail.size());
  EXPECT_EQ(Lines(o.log.end() - tail.size(), o.log.end()), tail);
}

// The exact requests of a one-step solve with both preconditioners and
// iterative modified Gram-Schmidt: A = 2I leaves nothing after the first
// projection, so the step makes all three passes.
TEST(GmresProtocol, RequestSequenceOfOneStep) {
  const int n = 3, m = 2;
  Operators ops{
      n, {2, 0, 0, 0, 2, 0, 0, 0, 2}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
  const std::vector<double> b{1, 2, 3}, x0(n, 0.0);
  RunOptions opt;
  opt.m = m;
  opt.x0 = &x0;
  opt.controls = [](int* ictrl, double* rctrl) {
    ictrl[3] = 3;
    ictrl[4] = 1;
    ictrl[5] = 1;
    rctrl[1] = 1.0;
  };
  const auto o = run_gmres(ops, b, opt);
  // WORK positions: x 1, b 4, w 7, r 10, V(:,1) 13, xk 13 + n*m + (m+1)^2 + m = 30.
  const int x = 1, bb = 4, w = 7, r = 10, v1 = 13, xk = 30;
  const std::vector<std::vector<int>> expect{
      {req_dots, bb, bb, w, 1},                           // ||b||
      {req_lprec, bb, w},                                 // P1 b
      {req_dots, w, w, r, 1},                             // ||P1 b||
      {req_amul, x, w},                                   // A x0
      {req_lprec, w, r},                                  // P1 (b - A x0)
      {req_dots, r, r, w, 1},                             // beta
      {req_rprec, v1, r},                                 // step 1: P2 V(:,1)
      {req_amul, r, w},                                   //         A P2 V(:,1)
      {req_lprec, w, r},                                  //         P1 A P2 V(:,1)
      {req_dots, v1, r, w, 1},                            //         pass 1
      {req_dots, r, r, w, 1},   {req_dots, v1, r, w, 1},  //         pass 2
      {req_dots, r, r, w, 1},   {req_dots, v1, r, w, 1},  //         pass 3
      {req_dots, r, r, w, 1},   {req_rprec, xk, w},       // check: P2 V y
      {req_amul, w, r},                                   //        A xk
      {req_dots, r, r, w, 1},                             //        ||b - A xk||
      {req_lprec, r, w},                                  //        P1 (b - A xk)
      {req_dots, w, w, r, 1},                             //        its norm
      {req_dots, x, x, w, 1},                             // ||x|| for rctrl(2) = 1
  };
  EXPECT_EQ(o.requests, expect);
  EXPECT_EQ(o.request_codes.back(), req_done);
  EXPECT_EQ(o.info[0], 0);
  EXPECT_EQ(o.info[1], 1);
  EXPECT_EQ(o.x, (std::vector<double>{0.5, 1.0, 1.5}));
}

// After req_done the next call starts a new solve: checks and summary again.
TEST(GmresDriverLifecycle, NextCallAfterDoneStartsANewSolve) {
  const int n = 3, lwork = 200;
  std::vector<double> work(lwork, 0.0);
  int ictrl[8], ireq[5], info[3];
  double rctrl[5], rinfo[2];
  gmres_init(ictrl, rctrl);
  ictrl[1] = 0;
  ictrl[2] = 6;
  ictrl[3] = 0;
  std::ostringstream log, console;
  UnitsGuard guard;
  units().attach(6, &log);
  units().set_console(&console);
  GmresState state;
  int m = 2, summaries = 0;
  for (int solve = 0; solve < 2; ++solve) {
    for (int i = 0; i < n; ++i) work[n + i] = i + 1.0;
    for (int calls = 0; calls < 100; ++calls) {
      gmres_drive(state, n, n, m, lwork, work.data(), ireq, ictrl, rctrl, info, rinfo);
      if (ireq[0] == req_done) break;
      double* v = work.data() + ireq[1] - 1;
      double* z = work.data() + ireq[3] - 1;
      if (ireq[0] == req_amul) {
        for (int i = 0; i < n; ++i) z[i] = 2.0 * v[i];
      } else {
        ASSERT_EQ(ireq[0], req_dots);
        for (int k = 0; k < ireq[4]; ++k) {
          z[k] = 0.0;
          for (int i = 0; i < n; ++i) z[k] += v[k * n + i] * work[ireq[2] - 1 + i];
        }
      }
    }
    ASSERT_EQ(ireq[0], req_done);
    EXPECT_EQ(info[0], 0);
    EXPECT_EQ(state.first_call, 0);
  }
  for (const auto& line : lines_of(log.str()))
    if (line == "                    CONVERGENCE HISTORY FOR GMRES") ++summaries;
  EXPECT_EQ(summaries, 2);
}

}  // namespace
}  // namespace velmora::gmres_test
