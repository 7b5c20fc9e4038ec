// GMRES iteration as a resumable state machine.
//
// The routine runs until it needs a product with A, P1 or P2 or a block of
// dot products, posts the request in ireq and returns; the next call resumes
// at state.resume_point.  Each case of the switch below is one stretch of
// work between two requests; a case either posts a request (and returns) or
// names the stretch that follows (and loops).
//
// One cycle builds an orthonormal basis V of the Krylov space of
// P1*A*P2 with the Arnoldi process, keeps the Hessenberg matrix H upper
// triangular with Givens rotations applied also to g = beta*e1 (stored as
// column M+1 of H), so that |g(j+1)| is the residual norm of step j.  The
// estimated backward error |g(j+1)| / (anormp*||xk|| + den_pb) is confirmed
// with the true residual before the solve may end.
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/array.hpp"
#include "common/blas.hpp"
#include "common/blas_tall.hpp"
#include "common/records.hpp"
#include "common/units.hpp"
#include "solver/gmres.hpp"

namespace velmora {
namespace {

enum Stretch : int {
  kStart = 0,       // a new solve: request ||b||^2
  kBNorm,           // ||b|| known: zero right-hand side, normalisations
  kP1bNorm,         // w = P1 b: request ||w||^2
  kP1bDone,         // ||P1 b|| known
  kInitResidual,    // w = b - A x0
  kAx0Done,         // w = A x0
  kPrecR0,          // r = P1 w
  kR0Norm,          // request ||r||^2
  kR0Done,          // beta known: zero initial residual
  kCycle,           // V(:,1) = r / beta, g = beta e1
  kStep,            // Arnoldi step j: r = P2 V(:,j)
  kStepAmul,        // request w = A r
  kStepP1,          // r = P1 w
  kOrthoStart,      // H(1..j, j) = 0, first pass
  kPass,            // one orthogonalisation pass
  kMgsDot,          // modified: request V(:,i) . r
  kMgsUpdate,       // modified: subtract the component along V(:,i)
  kCgsUpdate,       // classical: subtract the components along V(:,1..j)
  kHNorm,           // request ||r||^2
  kHNormDone,       // hn known: another pass or the new basis vector
  kXkNormReq,       // xk = x + w: request ||xk||^2
  kXkNormDone,      // ||xk|| known
  kEstimate,        // estimated backward error, history or true-residual check
  kCheckXk,         // check: xk = x + w
  kCheckAmul,       // check: request r = A xk
  kCheckRes,        // check: r = b - A xk, request ||r||^2
  kCheckResDone,    // check: ||b - A xk|| known, w = P1 r
  kCheckPreNorm,    // check: request ||P1 r||^2
  kCheckDone,       // check: true backward error
  kFinish,          // end of the solve: x = xk, ||x||
  kReport,          // end of the solve: results and report
  kNextStep,        // next Arnoldi step or end of the cycle
  kRestart,         // end of the cycle: x = xk
  kRestartXk,       // end of the cycle: xk = x + w
  kNewResidual,     // residual the next cycle starts from
  kNewResAmulDone,  // w = A x: w = b - w, r = P1 w
  kNewResNorm,      // request ||r||^2
  kNewResDone,      // beta known
};

struct Solve {
  GmresState& s;
  int nl;
  int m;
  const double* b;
  double* x;
  Mat<double> H;  // (m+1) x (m+1); g(i) = H(i, m+1)
  double* r;
  double* w;
  Mat<double> V;  // nl x (m or m+1)
  double* y;
  double* xk;
  Vec<double> sn, cs;
  Vec<int> ireq;
  Vec<const int> ictrl;
  Vec<const double> rctrl;
  Vec<int> info;
  Vec<double> rinfo;

  double& g(int i) const { return H(i, m + 1); }
  bool left() const { return ictrl(4) == 1 || ictrl(4) == 3; }
  bool right() const { return ictrl(4) == 2 || ictrl(4) == 3; }
  int total() const { return s.nbase + s.jstep; }
  // Position in WORK of a slice entry; x is WORK(1).
  int pos(const double* p) const { return static_cast<int>(p - x) + 1; }

  // Posts a product request and resumes at `next`.
  void post(int code, const double* in, const double* out, int next) {
    ireq(1) = code;
    ireq(2) = pos(in);
    ireq(4) = pos(out);
    s.resume_point = next;
  }
  // Posts the dot products of `count` consecutive basis-like vectors from
  // `first` with `with`, into out(1..count).
  void post_dots(const double* first, const double* with, const double* out, int count, int next) {
    ireq(1) = req_dots;
    ireq(2) = pos(first);
    ireq(3) = pos(with);
    ireq(4) = pos(out);
    ireq(5) = count;
    s.resume_point = next;
  }

  void copy(const double* from, double* to) const { blas::dcopy(nl, from, 1, to, 1); }
  void zero(double* v) const {
    for (int i = 0; i < nl; ++i) v[i] = 0.0;
  }
  // v := 0, then v := v + (1/scale) * from.
  void set_scaled(double* v, double scale, const double* from) const {
    zero(v);
    blas::axpy_rows(nl, 1.0 / scale, from, v);
  }
  // to(i) := b(i) - to(i).
  void subtract_from_b(double* to) const {
    for (int i = 0; i < nl; ++i) to[i] = b[i] - to[i];
  }

  // First half of forming the iterate of step j: y = H(1..j,1..j)^-1 g(1..j),
  // xk = V(:,1..j) y.  The caller then applies P2 (into w) and ends with
  // xk = x + w.
  void combine_basis(int j) const {
    blas::dcopy(j, H.col(m + 1), 1, y, 1);
    blas::dtrsv('U', 'N', 'N', j, H.data(), m + 1, y, 1);
    blas::dgemv_tall('N', nl, j, 1.0, V.data(), nl, y, 0.0, xk);
  }
  // xk := x + w.
  void set_xk_to_x_plus_w() const {
    copy(x, xk);
    blas::axpy_rows(nl, 1.0, w, xk);
  }

  void warn(std::initializer_list<std::string> records) const {
    if (ictrl(2) != 0)
      for (const auto& rec : records) units().write(ictrl(2), rec);
  }
  void history(const std::string& line) const {
    if (ictrl(3) == 0) return;
    units().write(ictrl(3), line);
    units().write_console(line);
  }

  // Ends the solve at once (zero right-hand side or zero initial residual).
  void end_trivially() {
    info(1) = 0;
    info(2) = 0;
    rinfo(1) = 0.0;
    rinfo(2) = 0.0;
    ireq(1) = req_done;
    s.resume_point = 0;
  }

  void run();
};

void Solve::run() {
  using fmt::list;
  for (;;) {
    switch (s.resume_point) {
      case kStart:
        s.restart_true = ictrl(8);
        s.ncycles = 0;
        s.nbase = 0;
        s.jstep = 0;
        if (ictrl(6) == 0) zero(x);
        post_dots(b, b, w, 1, kBNorm);
        return;

      case kBNorm:
        s.bnorm = std::sqrt(w[0]);
        if (s.bnorm == 0.0) {
          zero(x);
          warn({list(), list("WARNING GMRES : "), list("      Null right hand side"),
                list("      solution set to zero"), list()});
          end_trivially();
          return;
        }
        s.anorm = rctrl(2);
        s.den_b = rctrl(3);
        if (rctrl(2) == 0.0 && rctrl(3) == 0.0) s.den_b = s.bnorm;
        s.anormp = rctrl(4);
        s.den_pb = rctrl(5);
        if (rctrl(4) == 0.0 && rctrl(5) == 0.0) {
          if (left()) {
            post(req_lprec, b, w, kP1bNorm);
            return;
          }
          s.den_pb = s.bnorm;
        }
        s.resume_point = kInitResidual;
        break;

      case kP1bNorm:
        post_dots(w, w, r, 1, kP1bDone);
        return;

      case kP1bDone:
        s.den_pb = std::sqrt(r[0]);
        s.resume_point = kInitResidual;
        break;

      case kInitResidual:
        if (ictrl(6) == 1) {
          post(req_amul, x, w, kAx0Done);
          return;
        }
        copy(b, w);
        s.resume_point = kPrecR0;
        break;

      case kAx0Done:
        subtract_from_b(w);
        s.resume_point = kPrecR0;
        break;

      case kPrecR0:
        if (left()) {
          post(req_lprec, w, r, kR0Norm);
          return;
        }
        copy(w, r);
        s.resume_point = kR0Norm;
        break;

      case kR0Norm:
        post_dots(r, r, w, 1, kR0Done);
        return;

      case kR0Done:
        s.beta = std::sqrt(w[0]);
        if (s.beta == 0.0) {
          end_trivially();
          warn({list(), list("WARNING GMRES : "), list("      Intial residual is zero"),
                list("      initial guess is solution"), list()});
          return;
        }
        s.resume_point = kCycle;
        break;

      case kCycle:
        set_scaled(V.col(1), s.beta, r);
        g(1) = s.beta;
        for (int i = 2; i <= m + 1; ++i) g(i) = 0.0;
        s.jstep = 1;
        s.resume_point = kStep;
        break;

      case kStep:
        s.breakdown = 0;
        s.xk_valid = 0;
        if (right()) {
          post(req_rprec, V.col(s.jstep), r, kStepAmul);
          return;
        }
        copy(V.col(s.jstep), r);
        s.resume_point = kStepAmul;
        break;

      case kStepAmul:
        post(req_amul, r, w, kStepP1);
        return;

      case kStepP1:
        if (left()) {
          post(req_lprec, w, r, kOrthoStart);
          return;
        }
        copy(w, r);
        s.resume_point = kOrthoStart;
        break;

      case kOrthoStart:
        // r = P1 A P2 V(:,j); its projections accumulate in H(1..j, j).
        for (int i = 1; i <= s.jstep; ++i) H(i, s.jstep) = 0.0;
        s.npass = 0;
        s.resume_point = kPass;
        break;

      case kPass:
        s.npass += 1;
        s.hsq = 0.0;
        if (ictrl(5) == 0 || ictrl(5) == 1) {
          s.igs = 1;
          s.resume_point = kMgsDot;
          break;
        }
        post_dots(V.col(1), r, w, s.jstep, kCgsUpdate);
        return;

      case kMgsDot:
        post_dots(V.col(s.igs), r, w, 1, kMgsUpdate);
        return;

      case kMgsUpdate: {
        const double h = w[0];
        H(s.igs, s.jstep) += h;
        s.hsq += h * h;
        blas::axpy_rows(nl, -h, V.col(s.igs), r);
        s.igs += 1;
        s.resume_point = s.igs <= s.jstep ? kMgsDot : kHNorm;
        break;
      }

      case kCgsUpdate: {
        const int j = s.jstep;
        blas::daxpy(j, 1.0, w, 1, H.col(j), 1);
        blas::dgemv_tall('N', nl, j, -1.0, V.data(), nl, w, 1.0, r);
        const double wn = blas::dnrm2(j, w, 1);
        s.hsq = wn * wn;
        s.resume_point = kHNorm;
        break;
      }

      case kHNorm:
        post_dots(r, r, w, 1, kHNormDone);
        return;

      case kHNormDone: {
        const int j = s.jstep;
        s.hn = std::sqrt(w[0]);
        if (ictrl(5) == 1 || ictrl(5) == 3) {
          // Another pass while the part removed is at least the part left.
          s.hsq = std::sqrt(s.hsq);
          if (s.hsq >= s.hn && s.npass < 3) {
            s.resume_point = kPass;
            break;
          }
        }
        H(j + 1, j) = s.hn;
        if (s.hn == 0.0) {
          // Exact breakdown: the Krylov space is invariant and r = 0; there is
          // no next basis vector (1/hn would fill it with NaN).
          s.breakdown = 1;
        } else if (j < m || ictrl(8) == 0) {
          set_scaled(V.col(j + 1), s.hn, r);
        }
        // Earlier rotations on column j, then the new one on g and column j.
        for (int i = 1; i <= j - 1; ++i) blas::drot(1, &H(i, j), 1, &H(i + 1, j), 1, cs(i), sn(i));
        double ra = H(j, j), rb = H(j + 1, j);
        blas::drotg(ra, rb, cs(j), sn(j));
        blas::drot(1, &g(j), 1, &g(j + 1), 1, cs(j), sn(j));
        blas::drot(1, &H(j, j), 1, &H(j + 1, j), 1, cs(j), sn(j));
        H(j + 1, j) = 0.0;
        s.rnorm_pre = std::fabs(g(j + 1));
        if (s.anormp != 0.0) {
          // The normalisation needs ||xk||: form the iterate of this step.
          combine_basis(j);
          if (right()) {
            post(req_rprec, xk, w, kXkNormReq);
            return;
          }
          copy(xk, w);
          s.resume_point = kXkNormReq;
          break;
        }
        s.xnorm = 1.0;
        s.resume_point = kEstimate;
        break;
      }

      case kXkNormReq:
        set_xk_to_x_plus_w();
        s.xk_valid = 1;
        post_dots(xk, xk, w, 1, kXkNormDone);
        return;

      case kXkNormDone:
        s.xnorm = std::sqrt(w[0]);
        s.resume_point = kEstimate;
        break;

      case kEstimate:
        s.be_arnoldi = s.rnorm_pre / (s.anormp * s.xnorm + s.den_pb);
        if (s.be_arnoldi <= rctrl(1) || total() >= ictrl(7)) {
          // True-residual check; from now on every restart uses the true residual.
          s.restart_true = 1;
          if (!s.xk_valid) {
            combine_basis(s.jstep);
            if (right()) {
              post(req_rprec, xk, w, kCheckXk);
              return;
            }
            copy(xk, w);
            s.resume_point = kCheckXk;
            break;
          }
          s.resume_point = kCheckAmul;
          break;
        }
        history(fmt::I(total(), 5) + fmt::X(9) + fmt::E(s.be_arnoldi, 10, 4) + fmt::X(9) + "--");
        s.resume_point = kNextStep;
        break;

      case kCheckXk:
        set_xk_to_x_plus_w();
        s.xk_valid = 1;
        s.resume_point = kCheckAmul;
        break;

      case kCheckAmul:
        copy(xk, w);
        post(req_amul, w, r, kCheckRes);
        return;

      case kCheckRes:
        subtract_from_b(r);
        post_dots(r, r, w, 1, kCheckResDone);
        return;

      case kCheckResDone:
        s.rnorm_true = std::sqrt(w[0]);
        if (left()) {
          post(req_lprec, r, w, kCheckPreNorm);
          return;
        }
        copy(r, w);
        s.resume_point = kCheckPreNorm;
        break;

      case kCheckPreNorm:
        post_dots(w, w, r, 1, kCheckDone);
        return;

      case kCheckDone:
        s.rnorm_pre = std::sqrt(r[0]);
        s.be_true = s.rnorm_pre / (s.anormp * s.xnorm + s.den_pb);
        history(fmt::I(total(), 5) + fmt::X(9) + fmt::E(s.be_arnoldi, 10, 4) + fmt::X(5) +
                fmt::E(s.be_true, 10, 4));
        s.resume_point = (s.be_true <= rctrl(1) || total() >= ictrl(7)) ? kFinish : kNextStep;
        break;

      case kFinish:
        copy(xk, x);
        if (s.anorm != 0.0) {
          post_dots(x, x, w, 1, kReport);
          return;
        }
        s.xnorm = 1.0;
        s.resume_point = kReport;
        break;

      case kReport: {
        if (s.anorm != 0.0) s.xnorm = std::sqrt(w[0]);
        rinfo(1) = s.be_true;
        rinfo(2) = s.rnorm_true / (s.anorm * s.xnorm + s.den_b);
        info(2) = total();
        const int hunit = ictrl(3);
        if (s.be_true <= rctrl(1)) {
          info(1) = 0;
          if (hunit != 0) {
            units().write(hunit, list());
            units().write(hunit, fmt::A("  Convergence achieved!", 23));
          }
        } else {
          // The status is set before the report so that its info(1) line shows it.
          info(1) = -4;
          warn({list(), list("WARNING GMRES : "),
                list("      No convergence after ", total(), " iterations "), list()});
          if (hunit != 0) {
            units().write(hunit, list());
            units().write(hunit, list("WARNING GMRES :"));
            units().write(hunit, list("      No convergence after ", total(), " iterations "));
            units().write(hunit, list());
          }
        }
        if (hunit != 0) {
          using fmt::A;
          units().write(hunit, A("B.E. on the preconditioned ", 27) + A("system:   ", 10) +
                                   fmt::E(rinfo(1), 8, 2));
          units().write(hunit, A("B.E. on the unpreconditioned ", 29) + A("system: ", 8) +
                                   fmt::E(rinfo(2), 8, 2));
          units().write(hunit, A("info(1) = ", 10) + fmt::I(info(1), 2));
          units().write(hunit, A("Number of iterations (info(2)): ", 32) + fmt::I(info(2), 5));
        }
        ireq(1) = req_done;
        s.resume_point = 0;
        return;
      }

      case kNextStep:
        if (s.breakdown) {
          // The basis cannot grow: end the cycle at this step and restart from
          // its iterate with the true residual.
          s.restart_true = 1;
        } else if (s.jstep < m) {
          s.jstep += 1;
          s.resume_point = kStep;
          break;
        }
        s.resume_point = kRestart;
        break;

      case kRestart:
        // s.jstep is the length of the cycle just ended (m unless it broke down).
        s.ncycles += 1;
        if (!s.xk_valid) {
          combine_basis(s.jstep);
          if (right()) {
            post(req_rprec, xk, w, kRestartXk);
            return;
          }
          copy(xk, w);
          s.resume_point = kRestartXk;
          break;
        }
        copy(xk, x);
        s.nbase += s.jstep;
        s.resume_point = kNewResidual;
        break;

      case kRestartXk:
        set_xk_to_x_plus_w();
        s.xk_valid = 1;
        copy(xk, x);
        s.nbase += s.jstep;
        s.resume_point = kNewResidual;
        break;

      case kNewResidual:
        if (s.restart_true == 1) {
          copy(x, r);
          post(req_amul, r, w, kNewResAmulDone);
          return;
        }
        // Residual from the recurrence: unrotate g(m+1) e_(m+1) and combine
        // the m+1 basis vectors.
        s.beta = std::fabs(g(m + 1));
        if (s.beta == 0.0) {
          // A zero recurrence residual cannot start a cycle (1/beta): the
          // true residual decides, as after a breakdown.
          s.restart_true = 1;
          s.resume_point = kNewResidual;
          break;
        }
        for (int i = m; i >= 1; --i) {
          g(i) = 0.0;
          blas::drot(1, &g(i), 1, &g(i + 1), 1, cs(i), -sn(i));
        }
        blas::dgemv_tall('N', nl, m + 1, 1.0, V.data(), nl, H.col(m + 1), 0.0, r);
        s.resume_point = kCycle;
        break;

      case kNewResAmulDone:
        subtract_from_b(w);
        if (left()) {
          post(req_lprec, w, r, kNewResNorm);
          return;
        }
        copy(w, r);
        s.resume_point = kNewResNorm;
        break;

      case kNewResNorm:
        post_dots(r, r, w, 1, kNewResDone);
        return;

      case kNewResDone:
        s.beta = std::sqrt(w[0]);
        if (s.beta == 0.0) {
          // The true residual is exactly zero: x solves the system and a new
          // cycle would divide by beta.  The solve ends here with x.
          s.jstep = 0;
          s.be_true = 0.0;
          s.rnorm_true = 0.0;
          copy(x, xk);
          s.resume_point = kFinish;
          break;
        }
        s.resume_point = kCycle;
        break;

      default:
        // A state this routine never sets: start afresh.
        s.resume_point = kStart;
        break;
    }
  }
}

}  // namespace

void gmres_iterate(GmresState& state, int nlocal, int m, const double* b, double* x, double* h,
                   double* r, double* w, double* v, double* y, double* xk, double* sn, double* cs,
                   int* ireq, const int* ictrl, const double* rctrl, int* info, double* rinfo) {
  Solve solve{state,
              nlocal,
              m,
              b,
              x,
              Mat<double>(h, m + 1),
              r,
              w,
              Mat<double>(v, nlocal),
              y,
              xk,
              Vec<double>(sn),
              Vec<double>(cs),
              Vec<int>(ireq),
              Vec<const int>(ictrl),
              Vec<const double>(rctrl),
              Vec<int>(info),
              Vec<double>(rinfo)};
  solve.run();
}

}  // namespace velmora
