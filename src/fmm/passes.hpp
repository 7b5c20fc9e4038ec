// Pieces shared by the upward and downward multipole passes: the scratch
// storage they borrow from the caller, optional timers, and the element
// densities by mode.
#pragma once

#include <cstdint>

#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "fmm/expansion.hpp"
#include "fmm/harmonics.hpp"

namespace velmora {

// Scratch of the passes, all supplied by the caller (storage block
// registrations 61, 62, 63, 87 and 88), sized for expansion order p:
//   rtab  regular_table_size(p)          harmonics R(n,m) of one point
//   gtab  gradient_table_size(p)         their gradient
//   stab  irregular_table_size(p)        Sbar(n,m) up to degree 2p (DNWRD only)
//   mom1  ExpanView<>::cell_size(p)      one cell's moments
//   loc1  ExpanView<>::cell_size(p)      one cell's local expansion (DNWRD only)
// UPWRD uses rtab, gtab and mom1 (the re-centred moments of the child being
// translated); DNWRD uses all five, rtab also as the accumulator of its
// multipole-to-local sums (4(2p+1) complex values, within rtab's size).
struct FmmScratch {
  Complex* rtab = nullptr;
  Complex* gtab = nullptr;
  Complex* stab = nullptr;
  Complex* mom1 = nullptr;
  Complex* loc1 = nullptr;
};

// Optional instrumentation: when a pass receives a non-null pointer it adds
// its seconds and counts here (wall-clock seconds, or the calling thread's
// processor seconds when thread_cpu is set, which stay meaningful on a
// loaded machine).  The rest of a pair's time is upward + downward - near - m2l.
struct FmmTimers {
  bool thread_cpu = false;
  // The clock the timers read, in seconds.
  double now() const;

  double upward = 0.0;          // whole of UPWRD
  double downward = 0.0;        // whole of DNWRD
  double near = 0.0;            // DNWRD step 5: TRIINT calls and their accumulation
  double m2l = 0.0;             // DNWRD step 2: multipole-to-local translations
  std::int64_t near_pairs = 0;  // source-target pairs integrated by TRIINT
  std::int64_t m2l_pairs = 0;   // (B, F) pairs translated
};

// Velocity u and traction t of element e by mode (x is read only for modes 1
// and 2):
//   mode 0: code 2 -> u_k = 0, t_k = -value;  other code -> u_k = -value, t_k = 0
//   mode 1: code 2 -> u_k = x(3(e-1)+k), t_k = 0;  other -> u_k = 0, t_k = x(3(e-1)+k)
//   mode 2: both given, whatever the code: u_k = x(3(e-1)+k),
//           t_k = x(3 nelem + 3(e-1)+k) (the solved surface, for the flow
//           at points of the fluid; moments only, no system's product)
inline void element_densities(const MeshView& mesh, int e, int mode, const double* x, double u[3],
                              double t[3]) {
  if (mode == 2) {
    const long i = 3 * static_cast<long>(e - 1), n = 3 * static_cast<long>(mesh.nelem);
    for (int k = 0; k < 3; ++k) {
      u[k] = x[i + k];
      t[k] = x[n + i + k];
    }
    return;
  }
  for (int k = 1; k <= 3; ++k) {
    const bool traction = mesh.traction_prescribed(e, k);
    if (mode == 0) {
      const double v = -mesh.value(e, k);
      u[k - 1] = traction ? 0.0 : v;
      t[k - 1] = traction ? v : 0.0;
    } else {
      const double v = x[3 * static_cast<long>(e - 1) + (k - 1)];
      u[k - 1] = traction ? v : 0.0;
      t[k - 1] = traction ? 0.0 : v;
    }
  }
}

// y_g += sum_j T_ij u_j - U_ij t_j for target position i of `c` (i = 0 for
// the first target), component by component, the six terms added one by one
// in the order
//   x: -U12 t2 - U13 t3 + T11 u1 + T12 u2 + T13 u3 - U11 t1
//   y: -U12 t1 - U23 t3 + T21 u1 + T22 u2 + T23 u3 - U22 t2
//   z: -U13 t1 - U23 t2 + T31 u1 + T32 u2 + T33 u3 - U33 t3
inline void add_near_terms(const NearCoef& c, int i, const double u[3], const double t[3],
                           double* yg) {
  double v = yg[0];
  v -= c.u[1][i] * t[1];
  v -= c.u[2][i] * t[2];
  v += c.t[0][i] * u[0];
  v += c.t[1][i] * u[1];
  v += c.t[2][i] * u[2];
  v -= c.u[0][i] * t[0];
  yg[0] = v;
  v = yg[1];
  v -= c.u[1][i] * t[0];
  v -= c.u[4][i] * t[2];
  v += c.t[3][i] * u[0];
  v += c.t[4][i] * u[1];
  v += c.t[5][i] * u[2];
  v -= c.u[3][i] * t[1];
  yg[1] = v;
  v = yg[2];
  v -= c.u[2][i] * t[0];
  v -= c.u[4][i] * t[1];
  v += c.t[6][i] * u[0];
  v += c.t[7][i] * u[1];
  v += c.t[8][i] * u[2];
  v -= c.u[5][i] * t[2];
  yg[2] = v;
}

// add_near_terms for a source without velocity density (u = 0): the three
// traction-kernel terms of each component, T u = +-0, are left out.  Adding
// a zero changes no nonzero sum, so the result is the same bits (a zero sum
// may differ in its sign only).
inline void add_near_terms_stokeslet(const NearCoef& c, int i, const double t[3], double* yg) {
  double v = yg[0];
  v -= c.u[1][i] * t[1];
  v -= c.u[2][i] * t[2];
  v -= c.u[0][i] * t[0];
  yg[0] = v;
  v = yg[1];
  v -= c.u[1][i] * t[0];
  v -= c.u[4][i] * t[2];
  v -= c.u[3][i] * t[1];
  yg[1] = v;
  v = yg[2];
  v -= c.u[2][i] * t[0];
  v -= c.u[4][i] * t[1];
  v -= c.u[5][i] * t[2];
  yg[2] = v;
}

}  // namespace velmora
