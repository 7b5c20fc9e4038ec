// A reverse-communication driver for the GMRES tests: serves the solver's
// requests with dense matrices (A, and the preconditioners P1 and P2 as
// dense matrices) and the dot products with one transposed DGEMV, checks the
// request protocol as it goes, and captures every output stream.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/blas.hpp"
#include "common/units.hpp"
#include "solver/gmres.hpp"

namespace velmora::gmres_test {

using Matrix = std::vector<double>;  // n x n, column-major

struct Operators {
  int n = 0;
  Matrix A;
  Matrix P1;  // left preconditioner (empty: never requested)
  Matrix P2;  // right preconditioner (empty: never requested)
};

struct Outcome {
  int m = 0;
  int ictrl[8] = {};
  double rctrl[5] = {};
  int info[3] = {-99, -99, -99};
  double rinfo[2] = {-1.0, -1.0};
  int ireq[5] = {};
  std::vector<double> x;
  std::vector<double> work;
  int calls = 0, namul = 0, nlprec = 0, nrprec = 0, ndots = 0;
  std::vector<int> request_codes;
  std::vector<std::vector<int>> requests;  // the fields each request uses
  std::vector<std::string> log, console, err;
};

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// y := M v for a dense n x n matrix.
inline void apply(const Matrix& M, int n, const double* v, double* y) {
  blas::dgemv('N', n, n, 1.0, M.data(), n, v, 1, 0.0, y, 1);
}

struct RunOptions {
  int m = 10;
  std::int64_t lwork = -1;                      // -1: exactly what the restart length needs
  std::function<void(int*, double*)> controls;  // adjusts ictrl, rctrl after gmres_init
  const std::vector<double>* x0 = nullptr;      // written into WORK(1..n) when given
  double x_fill = 0.0;                          // content of WORK(1..n) otherwise
  int max_calls = 200000;
  // Called before each request is served with its code, the whole WORK array
  // and the request's input vector.
  std::function<void(int code, const double* work, const double* v)> observe;
};

// Runs one solve to req_done.  Controls default to gmres_init with the
// history and the warnings on unit 6, errors on unit 6, no preconditioning
// and at most 10 n iterations.
inline Outcome run_gmres(const Operators& ops, const std::vector<double>& b,
                         const RunOptions& opt) {
  Outcome o;
  const int n = ops.n;
  o.m = opt.m;
  gmres_init(o.ictrl, o.rctrl);
  o.ictrl[2] = 6;
  o.ictrl[3] = 0;
  o.ictrl[6] = 10 * n;
  if (opt.controls) opt.controls(o.ictrl, o.rctrl);
  const std::int64_t lwork =
      opt.lwork >= 0 ? opt.lwork : gmres_lwork_min(std::min(opt.m, n), n, o.ictrl[7] == 1 ? 1 : 0);
  o.work.assign(static_cast<std::size_t>(std::max<std::int64_t>(lwork, 2 * n)), std::nan(""));
  for (int i = 0; i < n; ++i) {
    o.work[i] = opt.x0 ? (*opt.x0)[i] : opt.x_fill;
    o.work[n + i] = b[i];
  }
  std::ostringstream log, console, err;
  UnitsGuard guard;
  units().attach(6, &log);
  units().set_console(&console);
  units().set_error(&err);
  GmresState state;
  const int lw = static_cast<int>(lwork);
  for (;;) {
    if (++o.calls > opt.max_calls) {
      ADD_FAILURE() << "no req_done after " << opt.max_calls << " calls";
      break;
    }
    gmres_drive(state, n, n, o.m, lw, o.work.data(), o.ireq, o.ictrl, o.rctrl, o.info, o.rinfo);
    const int code = o.ireq[0];
    o.request_codes.push_back(code);
    if (code == req_done) break;
    if (code == req_dots)
      o.requests.push_back({code, o.ireq[1], o.ireq[2], o.ireq[3], o.ireq[4]});
    else
      o.requests.push_back({code, o.ireq[1], o.ireq[3]});
    const int in = o.ireq[1], out = o.ireq[3];
    const int count = code == req_dots ? o.ireq[4] : n;
    // Positions inside WORK; the result never overlaps the operands.
    EXPECT_GE(in, 1);
    EXPECT_GE(out, 1);
    EXPECT_LE(out + count - 1, lw);
    const int in_len = code == req_dots ? count * n : n;
    EXPECT_LE(in + in_len - 1, lw);
    EXPECT_TRUE(out + count - 1 < in || out > in + in_len - 1) << "result overlaps operand";
    double* v = o.work.data() + (in - 1);
    double* z = o.work.data() + (out - 1);
    if (opt.observe) opt.observe(code, o.work.data(), v);
    switch (code) {
      case req_amul:
        ++o.namul;
        apply(ops.A, n, v, z);
        break;
      case req_lprec:
        ++o.nlprec;
        EXPECT_TRUE(o.ictrl[3] == 1 || o.ictrl[3] == 3) << "left preconditioner not asked for";
        if (!ops.P1.empty()) apply(ops.P1, n, v, z);
        break;
      case req_rprec:
        ++o.nrprec;
        EXPECT_TRUE(o.ictrl[3] == 2 || o.ictrl[3] == 3) << "right preconditioner not asked for";
        if (!ops.P2.empty()) apply(ops.P2, n, v, z);
        break;
      case req_dots: {
        ++o.ndots;
        const int in2 = o.ireq[2];
        EXPECT_TRUE(out + count - 1 < in2 || out > in2 + n - 1) << "result overlaps operand";
        blas::dgemv('C', n, count, 1.0, v, n, o.work.data() + (in2 - 1), 1, 0.0, z, 1);
        break;
      }
      default:
        ADD_FAILURE() << "unknown request " << code;
        return o;
    }
  }
  o.x.assign(o.work.begin(), o.work.begin() + n);
  o.log = lines_of(log.str());
  o.console = lines_of(console.str());
  o.err = lines_of(err.str());
  return o;
}

// Deterministic numbers uniform in [-1, 1).
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : s_(seed) {}
  double next() {
    s_ = s_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s_ >> 11) * 0x1.0p-52 - 1.0;
  }

 private:
  std::uint64_t s_;
};

inline std::vector<double> random_vector(int n, std::uint64_t seed) {
  Lcg g(seed);
  std::vector<double> v(n);
  for (auto& e : v) e = g.next();
  return v;
}

inline std::vector<double> multiply(const Matrix& A, int n, const std::vector<double>& v) {
  std::vector<double> y(n);
  apply(A, n, v.data(), y.data());
  return y;
}

inline double norm2(const std::vector<double>& v) {
  long double s = 0.0L;
  for (double e : v) s += static_cast<long double>(e) * e;
  return static_cast<double>(std::sqrt(s));
}

// ||b - A x|| accumulated in long double.
inline double residual_norm(const Matrix& A, int n, const std::vector<double>& b,
                            const std::vector<double>& x) {
  long double s = 0.0L;
  for (int i = 0; i < n; ++i) {
    long double ri = b[i];
    for (int j = 0; j < n; ++j) ri -= static_cast<long double>(A[i + j * n]) * x[j];
    s += ri * ri;
  }
  return static_cast<double>(std::sqrt(s));
}

inline std::vector<double> difference(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> d(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) d[i] = a[i] - b[i];
  return d;
}

}  // namespace velmora::gmres_test
