#include "fmm/translate.hpp"

#include <cmath>
#include <cstring>

#if defined(__FMA__)
#include <immintrin.h>
#endif

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
  const T sqrt2 = std::sqrt(T(2));

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
    // Blocks of degree n in the working basis.
    double* b = blocks + yrot_offset(n);
    for (int m = 0; m <= n; ++m) {
      double* row = b + 2 * static_cast<std::size_t>(n + 1) * m;
      row[0] = static_cast<double>(m == 0 ? at(cur, 0, 0) : sqrt2 * at(cur, m, 0));
      row[1] = 0.0;
      for (int mp = 1; mp <= n; ++mp) {
        const T a = at(cur, m, mp), r = (mp % 2 == 0) ? at(cur, m, -mp) : -at(cur, m, -mp);
        row[2 * mp] = static_cast<double>(m == 0 ? (a + r) / sqrt2 : a + r);
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

namespace {

// The helpers below pass vectors by value inside this file only; the ABI note
// GCC gives for that when AVX is not enabled does not concern them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kRsqrt2 = 0.7071067811865476;  // 1/sqrt(2)

// Four expansions side by side: the SIMD dimension of every kernel.
typedef double v4d __attribute__((vector_size(32)));

inline v4d load4(const double* a) {
  v4d v;
  std::memcpy(&v, a, sizeof v);
  return v;
}
inline void store4(double* a, const v4d& v) {
  std::memcpy(a, &v, sizeof v);
}

// Two sets of four expansions side by side (the pair layout): one 512-bit
// register, or two 256-bit ones.
typedef double v8d __attribute__((vector_size(64)));


// acc + c x with one rounding where the instruction set has a fused
// multiply-add (the translation sums are its only users; the build
// otherwise forbids contraction, so the choice is made here, once, and
// every cell of every run of one build gets the same bits; a lane of the
// pair layout gets the bits of the same lane of a single set).
inline v4d fma_lanes(const v4d& c, const v4d& x, const v4d& acc) {
#if defined(__FMA__)
  return _mm256_fmadd_pd(c, x, acc);
#else
  return acc + c * x;
#endif
}
inline v8d fma_lanes(const v8d& c, const v8d& x, const v8d& acc) {
#if defined(__AVX512F__)
  return _mm512_fmadd_pd(c, x, acc);
#elif defined(__FMA__)
  v8d r;
  const __m256d lo = _mm256_fmadd_pd(_mm256_setr_pd(c[0], c[1], c[2], c[3]),
                                     _mm256_setr_pd(x[0], x[1], x[2], x[3]),
                                     _mm256_setr_pd(acc[0], acc[1], acc[2], acc[3]));
  const __m256d hi = _mm256_fmadd_pd(_mm256_setr_pd(c[4], c[5], c[6], c[7]),
                                     _mm256_setr_pd(x[4], x[5], x[6], x[7]),
                                     _mm256_setr_pd(acc[4], acc[5], acc[6], acc[7]));
  std::memcpy(&r, &lo, sizeof lo);
  std::memcpy(reinterpret_cast<double*>(&r) + 4, &hi, sizeof hi);
  return r;
#else
  return acc + c * x;
#endif
}
template <class V>
inline V splat(double c);
template <>
inline v4d splat<v4d>(double c) {
  return v4d{c, c, c, c};
}
template <>
inline v8d splat<v8d>(double c) {
  return v8d{c, c, c, c, c, c, c, c};
}
inline v4d fma_lanes(double c, const v4d& x, const v4d& acc) {
#if defined(__FMA__)
  return _mm256_fmadd_pd(_mm256_set1_pd(c), x, acc);
#else
  return acc + c * x;
#endif
}
inline v8d fma_lanes(double c, const v8d& x, const v8d& acc) {
  return fma_lanes(splat<v8d>(c), x, acc);
}
template <class V>
inline V load_lanes(const double* a) {
  V v;
  std::memcpy(&v, a, sizeof v);
  return v;
}
template <class V>
inline void store_lanes(double* a, const V& v) {
  std::memcpy(a, &v, sizeof v);
}

// R consecutive rows of a block product: for k = 0..R-1
//   Re y(k) = sum_{i=lo..hi-1} c[rs k + cs i] Re x(i),
//   Im y(k) = sum_{i=lo..hi-1} c[rs k + cs i + 1] Im x(i),
// x(i) and y(k) at 2L i and 2L k, L the lanes of V (4: one set of four
// expansions, Re then Im; 8: the pair layout).  R independent sums per
// part hide the latency of the additions.
template <int R, class V>
inline void block_rows(int lo, int hi, const double* c, std::ptrdiff_t rs, std::ptrdiff_t cs,
                       const double* x, double* y) {
  constexpr int L = sizeof(V) / sizeof(double);
  V re[R], im[R];
  for (int k = 0; k < R; ++k) re[k] = im[k] = splat<V>(0.0);
  for (int i = lo; i < hi; ++i) {
    const V xr = load_lanes<V>(x + 2 * L * i), xi = load_lanes<V>(x + 2 * L * i + L);
    const double* ci = c + cs * i;
    for (int k = 0; k < R; ++k) {
      re[k] = fma_lanes(ci[rs * k], xr, re[k]);
      im[k] = fma_lanes(ci[rs * k + 1], xi, im[k]);
    }
  }
  for (int k = 0; k < R; ++k) {
    store_lanes(y + 2 * L * k, re[k]);
    store_lanes(y + 2 * L * k + L, im[k]);
  }
}

// Rows first..last-1 of the block product, four at a time.
template <class V>
void block_product(int first, int last, int lo, int hi, const double* c, std::ptrdiff_t rs,
                   std::ptrdiff_t cs, const double* x, double* y) {
  constexpr int L2 = 2 * sizeof(V) / sizeof(double);
  int m = first;
  for (; m + 4 <= last; m += 4) block_rows<4, V>(lo, hi, c + rs * m, rs, cs, x, y + L2 * m);
  switch (last - m) {
    case 3:
      block_rows<3, V>(lo, hi, c + rs * m, rs, cs, x, y + L2 * m);
      break;
    case 2:
      block_rows<2, V>(lo, hi, c + rs * m, rs, cs, x, y + L2 * m);
      break;
    case 1:
      block_rows<1, V>(lo, hi, c + rs * m, rs, cs, x, y + L2 * m);
      break;
    default:
      break;
  }
}

// R consecutive degrees n0..n0+R-1 of one order m of a z-axis translation:
//   y(n0+k) = sum_{i=lo..hi-1} c[a k + b i] x(i),
// with x(i) = x + 2L half_index(i, m) and y(n) likewise (L the lanes of V);
// real coefficients act on both parts alike.  A coefficient C is a double
// (one set, or a pair translated by the same distance) or a vector of
// lanes (a pair with a distance per set).
template <int R, bool Alternate, class V, class C>
inline void shift_rows(int m, int n0, int lo, int hi, const C* c, int a, int b, const double* x,
                       double* y) {
  constexpr int L = sizeof(V) / sizeof(double);
  V re[R], im[R];
  for (int k = 0; k < R; ++k) re[k] = im[k] = splat<V>(0.0);
  const double* xi = x + 2 * L * half_index(lo, m);
  for (int i = lo; i < hi; ++i) {
    const V xr = load_lanes<V>(xi), xm = load_lanes<V>(xi + L);
    const C* ci = c + b * i;
    for (int k = 0; k < R; ++k) {
      re[k] = fma_lanes(ci[a * k], xr, re[k]);
      im[k] = fma_lanes(ci[a * k], xm, im[k]);
    }
    xi += 2 * L * (i + 1);  // half_index(i+1, m) - half_index(i, m) = i + 1
  }
  for (int k = 0; k < R; ++k) {
    double* yv = y + 2 * L * half_index(n0 + k, m);
    if (Alternate) {
      // times (-1)^{n+m}, conjugated
      const double sg = ((n0 + k + m) % 2 == 0) ? 1.0 : -1.0;
      store_lanes(yv, sg * re[k]);
      store_lanes(yv + L, -sg * im[k]);
    } else {
      store_lanes(yv, re[k]);
      store_lanes(yv + L, im[k]);
    }
  }
}

// Degrees n = m..p of order m, four at a time; the range of i for the rows
// n0..n0+R-1 comes from range(n0, R).
template <bool Alternate, class V = v4d, class C = double, class Range>
void shift_order(int p, int m, const C* c, int a, int b, const double* x, double* y,
                 Range range) {
  int n = m;
  for (; n + 4 <= p + 1; n += 4) {
    const auto [lo, hi] = range(n, 4);
    shift_rows<4, Alternate, V>(m, n, lo, hi, c + a * n, a, b, x, y);
  }
  const int r = p + 1 - n;
  if (r == 0) return;
  const auto [lo, hi] = range(n, r);
  switch (r) {
    case 3:
      shift_rows<3, Alternate, V>(m, n, lo, hi, c + a * n, a, b, x, y);
      break;
    case 2:
      shift_rows<2, Alternate, V>(m, n, lo, hi, c + a * n, a, b, x, y);
      break;
    default:
      shift_rows<1, Alternate, V>(m, n, lo, hi, c + a * n, a, b, x, y);
      break;
  }
}

struct Span {
  int lo, hi;
};

// Re and Im parts of four interleaved complex numbers, and back.
inline void deinterleave(const double* a, v4d& re, v4d& im) {
  const v4d lo = load4(a), hi = load4(a + 4);
  re = v4d{lo[0], lo[2], hi[0], hi[2]};
  im = v4d{lo[1], lo[3], hi[1], hi[3]};
}
inline void add_interleaved(double* a, const v4d& re, const v4d& im) {
  store4(a, load4(a) + v4d{re[0], im[0], re[1], im[1]});
  store4(a + 4, load4(a + 4) + v4d{re[2], im[2], re[3], im[3]});
}

}  // namespace

namespace {

// Lane 3 of v plus c_x v[0] + c_y v[1] + c_z v[2], added in that order.
inline v4d recentre(const v4d& x, const double c[3]) {
  v4d v = x;
  v[3] = v[3] + c[0] * v[0] + c[1] * v[1] + c[2] * v[2];
  return v;
}

// One working-basis entry from an entry (re, im) of order m.
inline void put_entry(int m, const v4d& re_in, const v4d& im_in, const double c[3],
                      const double* ph, double* vre, double* vim) {
  const v4d re = c != nullptr ? recentre(re_in, c) : re_in;
  if (m == 0) {
    store4(vre, kRsqrt2 * re);
    store4(vim, v4d{0.0, 0.0, 0.0, 0.0});
  } else {
    const v4d im = c != nullptr ? recentre(im_in, c) : im_in;
    const double pc = ph[2 * m], ps = ph[2 * m + 1];
    store4(vre, pc * re - ps * im);
    store4(vim, pc * im + ps * re);
  }
}
inline void put_entry(int m, const v4d& re_in, const v4d& im_in, const double c[3],
                      const double* ph, double* v) {
  put_entry(m, re_in, im_in, c, ph, v, v + 4);
}

// The entry of order m of the expansion of working-basis entry v.
inline void get_entry(int m, const double* vre, const double* vim, const double* ph, v4d& re,
                      v4d& im) {
  const v4d yr = load4(vre), yi = load4(vim);
  if (m == 0) {
    re = kSqrt2 * yr;
    im = kSqrt2 * yi;
  } else {
    const double pc = ph[2 * m], ps = ph[2 * m + 1];
    re = pc * yr - ps * yi;
    im = pc * yi + ps * yr;
  }
}
inline void get_entry(int m, const double* v, const double* ph, v4d& re, v4d& im) {
  get_entry(m, v, v + 4, ph, re, im);
}

}  // namespace

void expansion_to_half(int p, const std::complex<double>* src, const double c[3], const double* ph,
                       double* x) {
  const int w = 2 * p + 1;
  for (int n = 0; n <= p; ++n) {
    for (int m = 0; m <= n; ++m) {
      v4d re, im;
      deinterleave(reinterpret_cast<const double*>(src + 4 * ((m + p) + w * n)), re, im);
      put_entry(m, re, im, c, ph, x + 8 * half_index(n, m));
    }
  }
}

void half_add_to_expansion(int p, const double* y, const double* ph, std::complex<double>* dst) {
  const int w = 2 * p + 1;
  for (int n = 0; n <= p; ++n) {
    double* row = reinterpret_cast<double*>(dst + 4 * static_cast<std::ptrdiff_t>(w) * n);
    for (int m = 0; m <= n; ++m) {
      v4d re, im;
      get_entry(m, y + 8 * half_index(n, m), ph, re, im);
      add_interleaved(row + 8 * (p + m), re, im);
      if (m == 0) continue;
      // Order -m: (-1)^m conj.
      if (m % 2 == 0)
        add_interleaved(row + 8 * (p - m), re, -im);
      else
        add_interleaved(row + 8 * (p - m), -re, im);
    }
  }
}

namespace {
// Entry layouts of working-basis vectors: entry e at stride * e, its Re
// lanes at +re, its Im lanes at +im (one set: 8, 0, 4; set s of the pair
// layout: 16, 4s, 8 + 4s).
struct Lanes {
  int stride, re, im;
};
constexpr Lanes kSingle{8, 0, 4};
Lanes pair_lanes(int set) {
  return Lanes{16, 4 * set, 8 + 4 * set};
}

void half_to_lanes(int p, const double* src, const double c[3], const double* ph, double* x,
                   Lanes l) {
  for (int n = 0; n <= p; ++n) {
    for (int m = 0; m <= n; ++m) {
      const double* s = src + 8 * half_index(n, m);
      double* v = x + l.stride * half_index(n, m);
      put_entry(m, load4(s), load4(s + 4), c, ph, v + l.re, v + l.im);
    }
  }
}

void lanes_add_to_half(int p, const double* y, Lanes l, const double* ph, double* dst) {
  for (int n = 0; n <= p; ++n) {
    for (int m = 0; m <= n; ++m) {
      v4d re, im;
      const double* v = y + l.stride * half_index(n, m);
      get_entry(m, v + l.re, v + l.im, ph, re, im);
      double* d = dst + 8 * half_index(n, m);
      store4(d, load4(d) + re);
      store4(d + 4, load4(d + 4) + im);
    }
  }
}
}  // namespace

void half_to_half(int p, const double* src, const double c[3], const double* ph, double* x) {
  half_to_lanes(p, src, c, ph, x, kSingle);
}

void half_to_pair(int p, const double* src, const double c[3], const double* ph, double* x,
                  int set) {
  half_to_lanes(p, src, c, ph, x, pair_lanes(set));
}

void pair_add_to_half(int p, const double* y, int set, const double* ph, double* dst) {
  lanes_add_to_half(p, y, pair_lanes(set), ph, dst);
}

void half_add_to_half(int p, const double* y, const double* ph, double* dst) {
  lanes_add_to_half(p, y, kSingle, ph, dst);
}

void rotate_half(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    // Pair (P, Q) of row m, column m' at 2 (w m + m').
    block_product<v4d>(0, w, 0, w, blocks + yrot_offset(n), 2 * w, 2, x + 8 * half_index(n, 0),
                       y + 8 * half_index(n, 0));
  }
}

void rotate_half_t(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    // Coefficient of (m, m') at 2 (w m' + m).
    block_product<v4d>(0, w, 0, w, blocks + yrot_offset(n), 2, 2 * w, x + 8 * half_index(n, 0),
                       y + 8 * half_index(n, 0));
  }
}

void rotate_pair(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    block_product<v8d>(0, w, 0, w, blocks + yrot_offset(n), 2 * w, 2,
                       x + 16 * half_index(n, 0), y + 16 * half_index(n, 0));
  }
}

void rotate_pair_t(int p, const double* blocks, const double* x, double* y) {
  for (int n = 0; n <= p; ++n) {
    const int w = n + 1;
    block_product<v8d>(0, w, 0, w, blocks + yrot_offset(n), 2, 2 * w,
                       x + 16 * half_index(n, 0), y + 16 * half_index(n, 0));
  }
}

// In the half layout
//   (J X)(m)   = ((n-m+1) X(m-1) - (n+m+1) X(m+1)) / 2,
//   (J^T X)(m) = ((n-m) X(m+1) - (n+m) X(m-1)) / 2,
// with X(-1) = -conj X(1) and X(n+1) = 0; at m = 0 both are real:
// (J X)(0) = -(n+1) Re X(1), (J^T X)(0) = n Re X(1).  In the working basis
// the terms from and to order 0 carry sqrt(2) and 1/sqrt(2).
namespace {
template <bool Transposed>
void tilt(int p, double e, double* x, Lanes l) {
  for (int n = 1; n <= p; ++n) {
    double* xn = x + l.stride * half_index(n, 0);
    v4d old_re = load4(xn + l.re), old_im = load4(xn + l.im);  // x(m-1) before the update
    {
      const double k =
          (Transposed ? static_cast<double>(n) : -static_cast<double>(n + 1)) * kRsqrt2;
      store4(xn + l.re, old_re + e * (k * load4(xn + l.stride + l.re)));
    }
    for (int m = 1; m <= n; ++m) {
      double* xm = xn + l.stride * m;
      const double a = Transposed ? 0.5 * (n - m) : -0.5 * (n + m + 1);  // weight of x(m+1)
      double c = Transposed ? -0.5 * (n + m) : 0.5 * (n - m + 1);        // weight of x(m-1)
      if (m == 1) c *= kSqrt2;
      const v4d cur_re = load4(xm + l.re), cur_im = load4(xm + l.im);
      if (m < n) {
        const double* nx = xm + l.stride;
        store4(xm + l.re, cur_re + e * (a * load4(nx + l.re) + c * old_re));
        store4(xm + l.im, cur_im + e * (a * load4(nx + l.im) + c * old_im));
      } else {
        store4(xm + l.re, cur_re + e * (c * old_re));
        store4(xm + l.im, cur_im + e * (c * old_im));
      }
      old_re = cur_re;
      old_im = cur_im;
    }
  }
}
}  // namespace

void tilt_half(int p, double e, double* x) {
  tilt<false>(p, e, x, kSingle);
}
void tilt_half_t(int p, double e, double* x) {
  tilt<true>(p, e, x, kSingle);
}
void tilt_pair(int p, double e, double* x, int set) {
  tilt<false>(p, e, x, pair_lanes(set));
}
void tilt_pair_t(int p, double e, double* x, int set) {
  tilt<true>(p, e, x, pair_lanes(set));
}

namespace {
// f[k] = k!/r^{k+1}, k = 0..2p.
void m2l_factors(int p, double r, double* f) {
  const double inv = 1.0 / r;
  f[0] = inv;
  for (int k = 1; k <= 2 * p; ++k) f[k] = f[k - 1] * (static_cast<double>(k) * inv);
}
}  // namespace

void zshift_m2l(int p, double r, const double* x, double* y, double* f) {
  m2l_factors(p, r, f);
  for (int m = 0; m <= p; ++m) {
    // y(n) = sum_{n'=m..p} f[n + n'] x(n')
    shift_order<true>(p, m, f, 1, 1, x, y, [p, m](int, int) { return Span{m, p + 1}; });
  }
}

void zshift_m2l_pair(int p, double ra, double rb, const double* x, double* y, double* f) {
  double* fa = f;
  double* fb = f + 2 * p + 1;
  m2l_factors(p, ra, fa);
  m2l_factors(p, rb, fb);
  if (ra == rb) {
    for (int m = 0; m <= p; ++m)
      shift_order<true, v8d>(p, m, fa, 1, 1, x, y, [p, m](int, int) { return Span{m, p + 1}; });
    return;
  }
  // Coefficient lanes: four of the first set's, four of the second's.
  auto* g = reinterpret_cast<v8d*>(f + (2 * (2 * p + 1) + 7) / 8 * 8);
  for (int k = 0; k <= 2 * p; ++k) g[k] = v8d{fa[k], fa[k], fa[k], fa[k], fb[k], fb[k], fb[k], fb[k]};
  for (int m = 0; m <= p; ++m)
    shift_order<true, v8d>(p, m, static_cast<const v8d*>(g), 1, 1, x, y,
                           [p, m](int, int) { return Span{m, p + 1}; });
}

namespace {
// r^k/k! for k = 0..p at g[4..], zeros at g[0..3] for the rows of the
// triangular shifts that reach below their diagonal.
const double* shift_powers(int p, double r, double* g) {
  for (int k = 0; k < 4; ++k) g[k] = 0.0;
  double* c = g + 4;
  c[0] = 1.0;
  for (int k = 1; k <= p; ++k) c[k] = c[k - 1] * r / static_cast<double>(k);
  return c;
}
}  // namespace

void zshift_m2m(int p, double r, const double* x, double* y, double* g) {
  const double* c = shift_powers(p, r, g);
  for (int m = 0; m <= p; ++m) {
    // y(n) = sum_{n'=m..n} c[n - n'] x(n')
    shift_order<false>(p, m, c, 1, -1, x, y, [m](int n0, int rows) { return Span{m, n0 + rows}; });
  }
}

void zshift_l2l(int p, double r, const double* x, double* y, double* g) {
  const double* c = shift_powers(p, r, g);
  for (int m = 0; m <= p; ++m) {
    // y(n) = sum_{n'=n..p} c[n' - n] x(n')
    shift_order<false>(p, m, c, -1, 1, x, y, [p](int n0, int) { return Span{n0, p + 1}; });
  }
}

}  // namespace velmora
