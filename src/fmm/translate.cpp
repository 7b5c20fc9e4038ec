#include "fmm/translate.hpp"

#include <cstring>

namespace velmora {

template <class T>
void yrotation_blocks(int p, T c, T s, T* scratch, double* blocks) {
  // Full matrices of degrees n-1 and n, entry (m,m') at (m+p)(2p+1) + (m'+p),
  // with zeros outside |m|, |m'| <= n.
  const int w = 2 * p + 1;
  T* prev = scratch;
  T* cur = scratch + static_cast<std::size_t>(w) * w;
  for (int i = 0; i < w * w; ++i) prev[i] = cur[i] = T(0);
  auto at = [p, w](T* a, int m, int mp) -> T& { return a[(m + p) * w + (mp + p)]; };
  const T half_s = s / T(2), up = (T(1) + c) / T(2), dn = (T(1) - c) / T(2);

  at(prev, 0, 0) = T(1);
  blocks[0] = 1.0;
  blocks[1] = 0.0;
  for (int n = 1; n <= p; ++n) {
    // Rows of degree n-1 beyond |k| = n-1 are zero; reading row +-n of prev is safe.
    for (int m = -n; m <= n; ++m) {
      const bool lo = m - 1 >= -(n - 1), mid = m >= -(n - 1) && m <= n - 1, hi = m + 1 <= n - 1;
      for (int mp = -(n - 1); mp <= n - 1; ++mp) {
        T v = T(0);
        if (lo) v += half_s * at(prev, m - 1, mp);
        if (hi) v -= half_s * at(prev, m + 1, mp);
        if (mid) v += c * at(prev, m, mp);
        at(cur, m, mp) = v;
      }
      T top = T(0), bot = T(0);
      if (lo) {
        top += up * at(prev, m - 1, n - 1);
        bot += dn * at(prev, m - 1, 1 - n);
      }
      if (hi) {
        top += dn * at(prev, m + 1, n - 1);
        bot += up * at(prev, m + 1, 1 - n);
      }
      if (mid) {
        top -= s * at(prev, m, n - 1);
        bot += s * at(prev, m, 1 - n);
      }
      at(cur, m, n) = top;
      at(cur, m, -n) = bot;
    }
    // Blocks of degree n.
    double* b = blocks + yrot_offset(n);
    for (int m = 0; m <= n; ++m) {
      double* row = b + 2 * static_cast<std::size_t>(n + 1) * m;
      row[0] = static_cast<double>(at(cur, m, 0));
      row[1] = 0.0;
      for (int mp = 1; mp <= n; ++mp) {
        const T a = at(cur, m, mp), r = (mp % 2 == 0) ? at(cur, m, -mp) : -at(cur, m, -mp);
        row[2 * mp] = static_cast<double>(a + r);
        row[2 * mp + 1] = (m == 0) ? 0.0 : static_cast<double>(a - r);
      }
    }
    T* t = prev;
    prev = cur;
    cur = t;
  }
}

template void yrotation_blocks<double>(int, double, double, double*, double*);
template void yrotation_blocks<long double>(int, long double, long double, long double*, double*);

void rotate_half(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    const double* b = blocks + yrot_offset(n);
    const double* xn = x + 8 * half_index(n, 0);
    double* yn = y + 8 * half_index(n, 0);
    for (int m = 0; m < w; ++m) {
      const double* bm = b + 2 * w * m;
      double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      for (int mp = 0; mp < w; ++mp) {
        const double pr = bm[2 * mp], qi = bm[2 * mp + 1];
        const double* xv = xn + 8 * mp;
        for (int q = 0; q < 4; ++q) acc[q] += pr * xv[q];
        for (int q = 4; q < 8; ++q) acc[q] += qi * xv[q];
      }
      std::memcpy(yn + 8 * m, acc, sizeof acc);
    }
  }
}

void rotate_half_t(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    const double* b = blocks + yrot_offset(n);
    const double* xn = x + 8 * half_index(n, 0);
    double* yn = y + 8 * half_index(n, 0);
    // Column 0 of the blocks carries A_{m,0} once, the other columns the pair
    // A_{m,m'} +- (-1)^{m'} A_{m,-m'}; for the transpose, order 0 of the input
    // is therefore weighted by one half and order 0 of the output by two
    // (both exact).
    for (int m = 0; m < w; ++m) {
      double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      {
        const double pr = (m == 0) ? b[0] : 0.5 * b[2 * m];
        for (int q = 0; q < 4; ++q) acc[q] += pr * xn[q];
      }
      const double scale = (m == 0) ? 2.0 : 1.0;
      for (int mp = 1; mp < w; ++mp) {
        const double* bm = b + 2 * (w * mp + m);
        const double pr = scale * bm[0], qi = bm[1];
        const double* xv = xn + 8 * mp;
        for (int q = 0; q < 4; ++q) acc[q] += pr * xv[q];
        for (int q = 4; q < 8; ++q) acc[q] += qi * xv[q];
      }
      std::memcpy(yn + 8 * m, acc, sizeof acc);
    }
  }
}

// (J X)(m)   = ((n-m+1) X(m-1) - (n+m+1) X(m+1)) / 2,
// (J^T X)(m) = ((n-m) X(m+1) - (n+m) X(m-1)) / 2,
// with X(-1) = -conj X(1) and X(n+1) = 0; at m = 0 both are real:
// (J X)(0) = -(n+1) Re X(1), (J^T X)(0) = n Re X(1).
namespace {
template <bool Transposed>
void tilt(int p, double e, double* x) {
  for (int n = 1; n <= p; ++n) {
    double* xn = x + 8 * half_index(n, 0);
    double old[8];  // X(m-1) before the update
    std::memcpy(old, xn, sizeof old);
    {
      const double k = Transposed ? static_cast<double>(n) : -static_cast<double>(n + 1);
      for (int q = 0; q < 4; ++q) xn[q] += e * (k * xn[8 + q]);
    }
    for (int m = 1; m <= n; ++m) {
      double* xm = xn + 8 * m;
      const double a = Transposed ? 0.5 * (n - m) : -0.5 * (n + m + 1);  // weight of X(m+1)
      const double c = Transposed ? -0.5 * (n + m) : 0.5 * (n - m + 1);  // weight of X(m-1)
      double cur[8];
      std::memcpy(cur, xm, sizeof cur);
      if (m < n) {
        const double* nx = xm + 8;
        for (int q = 0; q < 8; ++q) xm[q] += e * (a * nx[q] + c * old[q]);
      } else {
        for (int q = 0; q < 8; ++q) xm[q] += e * (c * old[q]);
      }
      std::memcpy(old, cur, sizeof old);
    }
  }
}
}  // namespace

void tilt_half(int p, double e, double* x) {
  tilt<false>(p, e, x);
}
void tilt_half_t(int p, double e, double* x) {
  tilt<true>(p, e, x);
}

void phase_half(int p, const double* ph, double* x) {
  for (int n = 1; n <= p; ++n) {
    for (int m = 1; m <= n; ++m) {
      double* v = x + 8 * half_index(n, m);
      const double c = ph[2 * m], s = ph[2 * m + 1];
      for (int q = 0; q < 4; ++q) {
        const double re = v[q], im = v[4 + q];
        v[q] = c * re - s * im;
        v[4 + q] = c * im + s * re;
      }
    }
  }
}

void zshift_m2l(int p, double r, const double* x, double* y, double* f) {
  const double inv = 1.0 / r;
  f[0] = inv;
  for (int k = 1; k <= 2 * p; ++k) f[k] = f[k - 1] * (static_cast<double>(k) * inv);
  for (int m = 0; m <= p; ++m) {
    for (int n = m; n <= p; ++n) {
      double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      for (int np = m; np <= p; ++np) {
        const double fk = f[n + np];
        const double* xv = x + 8 * half_index(np, m);
        for (int q = 0; q < 8; ++q) acc[q] += fk * xv[q];
      }
      const double sg = ((n + m) % 2 == 0) ? 1.0 : -1.0;
      double* yv = y + 8 * half_index(n, m);
      for (int q = 0; q < 4; ++q) yv[q] = sg * acc[q];
      for (int q = 4; q < 8; ++q) yv[q] = -sg * acc[q];
    }
  }
}

void zshift_m2m(int p, double r, const double* x, double* y, double* g) {
  g[0] = 1.0;
  for (int k = 1; k <= p; ++k) g[k] = g[k - 1] * r / static_cast<double>(k);
  for (int m = 0; m <= p; ++m) {
    for (int n = m; n <= p; ++n) {
      double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      for (int k = 0; k <= n - m; ++k) {
        const double gk = g[k];
        const double* xv = x + 8 * half_index(n - k, m);
        for (int q = 0; q < 8; ++q) acc[q] += gk * xv[q];
      }
      std::memcpy(y + 8 * half_index(n, m), acc, sizeof acc);
    }
  }
}

void zshift_l2l(int p, double r, const double* x, double* y, double* g) {
  g[0] = 1.0;
  for (int k = 1; k <= p; ++k) g[k] = g[k - 1] * r / static_cast<double>(k);
  for (int m = 0; m <= p; ++m) {
    for (int n = m; n <= p; ++n) {
      double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      for (int np = n; np <= p; ++np) {
        const double gk = g[np - n];
        const double* xv = x + 8 * half_index(np, m);
        for (int q = 0; q < 8; ++q) acc[q] += gk * xv[q];
      }
      std::memcpy(y + 8 * half_index(n, m), acc, sizeof acc);
    }
  }
}

}  // namespace velmora
