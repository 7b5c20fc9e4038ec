// GMRES driver: default controls, the checks of the first call, the layout of
// the work array and the set-up summary.
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "common/array.hpp"
#include "common/records.hpp"
#include "common/units.hpp"
#include "solver/gmres.hpp"

namespace velmora {
namespace {

void write_all(int unit, std::initializer_list<std::string> records) {
  for (const auto& rec : records) units().write(unit, rec);
}

void write_summary(int unit, int eunit, int n, int nlocal, int m, std::int64_t lwork_min,
                   Vec<const int> ictrl, Vec<const double> rctrl) {
  using fmt::A;
  using fmt::E;
  using fmt::I;
  using fmt::X;
  auto put = [unit](const std::string& line) { units().write(unit, line); };

  put(X(10) + A("CONVERGENCE HISTORY FOR GMRES", 39));
  put(fmt::list());
  put(A("Errors are displayed in unit: ", 30) + I(eunit, 2));
  if (ictrl(2) != 0)
    put(A("Warnings are displayed in unit: ", 32) + I(ictrl(2), 2));
  else
    put(A("Warnings are not displayed:", 27));
  put(A("Matrix size: ", 13) + I(n, 7));
  put(A("Local matrix size: ", 19) + I(nlocal, 7));
  put(A("Restart: ", 9) + I(m, 7));
  switch (ictrl(4)) {
    case 0:
      put(A("No preconditioning", 18));
      break;
    case 1:
      put(A("Left preconditioning", 20));
      break;
    case 2:
      put(A("Right preconditioning", 21));
      break;
    case 3:
      put(A("Left and right preconditioning", 30));
      break;
  }
  switch (ictrl(5)) {
    case 0:
      put(A("Modified Gram-Schmidt", 21));
      break;
    case 1:
      put(A("Iterative modified Gram-Schmidt", 31));
      break;
    case 2:
      put(A("Classical Gram-Schmidt", 22));
      break;
    case 3:
      put(A("Iterative classical Gram-Schmidt", 32));
      break;
  }
  if (ictrl(6) == 0)
    put(A("Default initial guess x_0 = 0", 29));
  else
    put(A("User supplied initial guess", 27));
  if (ictrl(8) == 1)
    put(A("True residual computed at restart", 33));
  else
    put(A("Recurrence residual at restart", 30));
  put(A("Maximum number of iterations: ", 30) + I(ictrl(7), 5));
  put(A("Tolerance for convergence: ", 27) + E(rctrl(1), 8, 2));
  put(A("Backward error on the unpreconditioned system Ax = b:", 53));
  if (rctrl(2) == 0.0 && rctrl(3) == 0.0) {
    put(A("    the residual is normalised by ||b||", 39));
  } else {
    put(A("    the residual is normalised by ", 34));
    put(A("        ", 8) + E(rctrl(2), 8, 2) + A(" * ||x|| + ", 11) + E(rctrl(3), 8, 2));
  }
  put(A("Backward error on the ", 22) + A("preconditioned system (P1)A(P2)y = (P1)b:", 41));
  if (rctrl(4) == 0.0 && rctrl(5) == 0.0) {
    put(A("    the preconditioned residual is", 35) + A(" normalised by ||(P1)b||", 24));
  } else {
    put(A("    the preconditioned residual is", 35) + A(" normalised by ", 15));
    put(A("        ", 8) + E(rctrl(4), 8, 2) + A(" * ", 3) + A("||(P2)y|| + ", 12) +
        E(rctrl(5), 8, 2));
  }
  put(A("Optimal size for the workspace:", 31) + I(lwork_min, 7));
  put(fmt::list());
  put(A("Convergence history: b.e. on the", 32) + A(" preconditioned system", 22));
  put(A(" Iteration ", 11) + A("  Arnoldi b.e.    True b.e.", 27));
  // The console heading: the first 11 characters of "  Iteration ".
  units().write_console(A("  Iteration ", 11) + A("  Arnoldi b.e.    True b.e.", 27));
}

}  // namespace

std::int64_t gmres_lwork_min(std::int64_t m, std::int64_t nlocal, int ictrl8) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t vectors = ictrl8 == 1 ? 5 : 6;
  const std::int64_t width = m + nlocal + 5;
  if (m > 0 && width > (kMax / 2) / m) return kMax;
  return m * width + vectors * nlocal + 1;
}

// Largest restart length whose work array fits in lwork, from the positive
// root of m^2 + (n+5) m + 5n + 1 = lwork evaluated in single precision and
// truncated toward zero; one less when the recurrence residual needs the
// extra basis vector.  The single-precision root can come out one too large
// for large n, so m is then lowered until its work array really fits.  The
// result is below m_requested (whose array does not fit), and may be < 1.
int gmres_fitting_restart(int n, int lwork, int ictrl8_entry, int m_requested) {
  const float fn = static_cast<float>(n);
  const float fl = static_cast<float>(lwork);
  const float disc = (fn + 5.0f) * (fn + 5.0f) - 4.0f * (1.0f - fl + 5.0f * fn);
  const float root = (-5.0f - fn + std::sqrt(disc)) * 0.5f;
  // A negative discriminant (lwork <= 0 for some n) leaves no restart length.
  if (!(root >= 1.0f)) return 0;
  std::int64_t m = root < 2.0e9f ? static_cast<std::int64_t>(root) : m_requested;
  if (ictrl8_entry == 0) m -= 1;
  // Any m >= m_requested needs at least as much as m_requested, which does not fit.
  if (m > m_requested - 1) m = m_requested - 1;
  while (m >= 1 && gmres_lwork_min(m, n, ictrl8_entry) > lwork) --m;
  return static_cast<int>(m);
}

void gmres_init(int* ictrl_, double* rctrl_) {
  Vec<int> ictrl(ictrl_);
  Vec<double> rctrl(rctrl_);
  ictrl(1) = 6;
  ictrl(2) = 6;
  ictrl(3) = 0;
  ictrl(4) = 4;
  ictrl(5) = 0;
  ictrl(6) = 0;
  ictrl(7) = -1;
  ictrl(8) = 1;
  rctrl(1) = 1.0e-5;
  rctrl(2) = 0.0;
  rctrl(3) = 0.0;
  rctrl(4) = 0.0;
  rctrl(5) = 0.0;
}

void gmres_drive(GmresState& state, int n, int nlocal, int& m, int lwork, double* work, int* ireq_,
                 int* ictrl_, double* rctrl_, int* info_, double* rinfo_) {
  Vec<int> ireq(ireq_), ictrl(ictrl_), info(info_);
  Vec<double> rctrl(rctrl_);

  if (state.first_call == 0) {
    const int eunit = ictrl(1) < 0 ? 6 : ictrl(1);
    const int wunit = ictrl(2);
    // The work-array size is judged with ictrl(8) as passed in: a bad value
    // is sized like the recurrence residual.
    const int ictrl8_entry = ictrl(8);
    std::int64_t lwork_min = gmres_lwork_min(m, nlocal, ictrl8_entry);
    // The sizes reported (the whole problem's for a solve of several
    // processes: GmresState::whole_nlocal).
    const int nlocal_shown = state.whole_nlocal > 0 ? state.whole_nlocal : nlocal;
    std::int64_t lwork_shown = gmres_lwork_min(m, nlocal_shown, ictrl8_entry);
    auto fatal = [&](int code, std::initializer_list<std::string> records) {
      write_all(eunit, records);
      info(1) = code;
      ireq(1) = req_done;
    };
    auto warn = [&](std::initializer_list<std::string> records) {
      if (wunit != 0) write_all(wunit, records);
    };
    using fmt::list;

    if (n < 1 || nlocal < (state.whole_nlocal > 0 ? 0 : 1)) {
      fatal(-1, {list(), list("ERROR GMRES : "), list("    N < 1 "), list()});
      return;
    }
    if (m < 1) {
      fatal(-2, {list(), list("ERROR GMRES :"), list("    M < 1 "), list()});
      return;
    }
    if (ictrl(4) < 0 || ictrl(4) > 3) {
      fatal(-5, {list(), list("ERROR GMRES : "), list("    Undefined preconditioner "), list()});
      return;
    }
    warn({list(), list("WARNING GMRES : "), list("      For M = ", m, " optimal value "),
          list("      for LWORK =  ", lwork_shown), list()});
    if (ictrl(5) < 0 || ictrl(5) > 3) {
      ictrl(5) = 0;
      warn({list(), list("WARNING  GMRES : "), list("      Undefined orthogonalisation "),
            list("      Default MGS "), list()});
    }
    if (ictrl(6) != 0 && ictrl(6) != 1) {
      ictrl(6) = 0;
      warn({list(), list("WARNING GMRES : "), list("      Undefined intial guess "),
            list("      Default x0 = 0 "), list()});
    }
    if (ictrl(7) < 1) {
      ictrl(7) = n;
      warn({list(), list("WARNING GMRES :"), list("      Negative max number of iterations"),
            list("      Default N "), list()});
    }
    if (ictrl(8) != 0 && ictrl(8) != 1) {
      ictrl(8) = 1;
      warn({list(), list("WARNING GMRES :"), list("      Undefined strategy for the residual"),
            list("      at restart"), list("      Default 1 "), list()});
    }
    if (n < m) {
      m = n;
      warn({list(), list("WARNING GMRES : "), list("      Parameter M bigger than N"),
            list("      New value for M ", n), list()});
      lwork_min = gmres_lwork_min(m, nlocal, ictrl8_entry);
      lwork_shown = gmres_lwork_min(m, nlocal_shown, ictrl8_entry);
    }
    if (lwork < lwork_min) {
      if (nlocal != n) {
        fatal(-3, {list(), list("ERROR GMRES : "), list("    Not enough space for the problem"),
                   list()});
        return;
      }
      const int mfit = gmres_fitting_restart(n, lwork, ictrl8_entry, m);
      if (mfit < 1) {
        fatal(-3, {list(), list("ERROR GMRES : "), list("    Not enough space for the problem"),
                   list("    the space does not permit any m"), list()});
        return;
      }
      m = mfit;
      warn({list(), list("WARNING GMRES : "), list("      Workspace too small for M"),
            list("      New value for M ", m), list()});
    }
    state.first_call = 1;
    // info(3) is 32-bit: a size beyond its range is reported as the largest value.
    info(3) = static_cast<int>(
        lwork_shown > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : lwork_shown);
    if (ictrl(3) != 0)
      write_summary(ictrl(3), eunit, n, nlocal_shown, m, lwork_shown, Vec<const int>(ictrl_),
                    Vec<const double>(rctrl_));
    state.resume_point = 0;
  }

  // Layout of WORK (offsets from work[0] = WORK(1)).
  const std::int64_t nl = nlocal;
  const std::int64_t mm = m;
  const std::int64_t p_x = 0;
  const std::int64_t p_b = nl;
  const std::int64_t p_w = 2 * nl;
  const std::int64_t p_r = 3 * nl;
  const std::int64_t p_v = 4 * nl;
  const std::int64_t len_v = ictrl(8) == 1 ? nl * mm : nl * (mm + 1);
  const std::int64_t p_h = p_v + len_v;
  const std::int64_t p_y = p_h + (mm + 1) * (mm + 1);
  const std::int64_t p_xk = p_y + mm;
  const std::int64_t p_sn = p_xk + nl;
  const std::int64_t p_cs = p_sn + mm;

  gmres_iterate(state, nlocal, m, work + p_b, work + p_x, work + p_h, work + p_r, work + p_w,
                work + p_v, work + p_y, work + p_xk, work + p_sn, work + p_cs, ireq_, ictrl_,
                rctrl_, info_, rinfo_);
  if (ireq(1) == req_done) state.first_call = 0;
}

}  // namespace velmora
