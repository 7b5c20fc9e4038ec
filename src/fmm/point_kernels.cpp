#include "fmm/point_kernels.hpp"

#include <algorithm>
#include <cstring>

namespace velmora {

PointKernels::PointKernels(int p) : p_(p), s_(p + 3) {
  // Rows -1..p, then room for the last vector of the loops (which run from
  // entry (0,0), whose lowest neighbour (-1,-1) is the first entry, over
  // whole vectors of 8) and the +1 offset of the gradient.
  const int rows_end = (p + 2) * s_;
  const int loop_end = s_ + 1 + ((p + 1) * s_ - 1 + 7) / 8 * 8;
  size_ = (std::max(rows_end, loop_end) + 1 + 7) / 8 * 8;
  inv_.assign(size_, 0.0);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m)
      inv_[index(n, m)] = 1.0 / static_cast<double>((n + m + 1) * (n - m + 1));
  rcp_.resize(p + 1);
  twon1_.resize(p + 1);
  for (int n = 0; n <= p; ++n) {
    rcp_[n] = 1.0 / static_cast<double>(n + 1);
    twon1_[n] = static_cast<double>(2 * n + 1);
  }
}

void PointKernels::harmonics(double x, double y, double z, double* re, double* im) const {
  std::fill(re, re + size_, 0.0);
  std::fill(im, im + size_, 0.0);
  const double r2 = x * x + y * y + z * z;
  const double hx = x / 2.0, hy = y / 2.0;
  re[index(0, 0)] = 1.0;
  for (int n = 0; n < p_; ++n) {
    // R(n+1,m) = ((2n+1) z R(n,m) - r^2 R(n-1,m)) / ((n+m+1)(n-m+1)), m = 0..n
    // (R(n-1,n) is the zero border).
    const double a = twon1_[n] * z;
    double* __restrict rn1 = re + index(n + 1, 0);
    double* __restrict in1 = im + index(n + 1, 0);
    const double* __restrict rn = re + index(n, 0);
    const double* __restrict in = im + index(n, 0);
    const double* __restrict rm = re + index(n - 1, 0);
    const double* __restrict imm = im + index(n - 1, 0);
    const double* __restrict iv = inv_.data() + index(n, 0);
#pragma GCC ivdep
    for (int m = 0; m <= n; ++m) {
      rn1[m] = (a * rn[m] - r2 * rm[m]) * iv[m];
      in1[m] = (a * in[m] - r2 * imm[m]) * iv[m];
    }
    // R(n+1,n+1) = R(n,n) (x/2 + i y/2) / (n+1).
    const double tr = rn[n] * hx - in[n] * hy;
    const double ti = rn[n] * hy + in[n] * hx;
    rn1[n + 1] = tr * rcp_[n];
    in1[n + 1] = ti * rcp_[n];
  }
  // R(n,-1) = -conj R(n,1).
  for (int n = 1; n <= p_; ++n) {
    re[index(n, -1)] = -re[index(n, 1)];
    im[index(n, -1)] = im[index(n, 1)];
  }
}

namespace {
typedef double v8d __attribute__((vector_size(64)));
inline v8d lanes_of(const double* a) {
  v8d v;
  std::memcpy(&v, a, sizeof v);
  return v;
}
inline int half_entry(int n, int m) {
  return n * (n + 1) / 2 + m;
}
}  // namespace

std::size_t PointKernels::acc_size() const {
  // One entry more than the half layout: room for the odd entry's partner.
  return static_cast<std::size_t>(half_entry(p_ + 1, 0) + 1) * 8;
}

std::size_t PointKernels::rows_size() const {
  return 3 * 2 * static_cast<std::size_t>(p_ + 2) * kLanes;
}

void PointKernels::add_lane_moments(const double* x_, const double* y_, const double* z_,
                                    const double* a_, const double* b_, const double t[3],
                                    double* acc, double* rows) const {
  // The recurrences of harmonics() lane by lane (the same operations), three
  // rolling rows n-1, n, n+1 of Re and Im, orders 0..n+1 (order n+1 of row
  // n is zero).
  const v8d x = lanes_of(x_), y = lanes_of(y_), z = lanes_of(z_);
  const v8d a = lanes_of(a_), b = lanes_of(b_);
  const v8d r2 = x * x + y * y + z * z;
  const v8d hx = x / 2.0, hy = y / 2.0;
  const std::size_t row = 2 * static_cast<std::size_t>(p_ + 2) * kLanes;
  v8d* prev = reinterpret_cast<v8d*>(rows);
  v8d* cur = reinterpret_cast<v8d*>(rows + row);
  v8d* next = reinterpret_cast<v8d*>(rows + 2 * row);
  const int w = p_ + 2;  // orders per row; Re at [m], Im at [w + m]
  const v8d zero = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (int m = 0; m < 2 * w; ++m) prev[m] = cur[m] = next[m] = zero;
  cur[0] = zero + 1.0;
  // The lanes of each entry are summed at once, two entries at a time:
  // the weighted rows a R and b R (Re, Im) of entries e0 and e1 are
  // reduced by one fixed tree of pairwise sums to their eight lane sums
  //   r = (aRe, aIm, bRe, bIm)(e0), (aRe, aIm, bRe, bIm)(e1),
  // and acc(e) += (t1 aRe, t2 aRe, t3 aRe, bRe, t1 aIm, t2 aIm, t3 aIm, bIm),
  // the half layout of the four expansions; acc stays in the first-level
  // cache (8 doubles per entry).
  const v8d tw = {t[0], t[1], t[2], 1.0, t[0], t[1], t[2], 1.0};
  typedef long long v8i __attribute__((vector_size(64)));
  v8d pend[4];
  int pend_entry = -1;
  auto reduce_pair = [&](const v8d* v, const v8d* u, int e0) {
    // Pairwise sums of neighbouring lanes, then pairs of pairs, then halves.
    const v8i lo1 = {0, 8, 2, 10, 4, 12, 6, 14}, hi1 = {1, 9, 3, 11, 5, 13, 7, 15};
    const v8i lo2 = {0, 1, 8, 9, 4, 5, 12, 13}, hi2 = {2, 3, 10, 11, 6, 7, 14, 15};
    const v8i lo3 = {0, 1, 2, 3, 8, 9, 10, 11}, hi3 = {4, 5, 6, 7, 12, 13, 14, 15};
    const v8d s01 = __builtin_shuffle(v[0], v[1], lo1) + __builtin_shuffle(v[0], v[1], hi1);
    const v8d s23 = __builtin_shuffle(v[2], v[3], lo1) + __builtin_shuffle(v[2], v[3], hi1);
    const v8d s45 = __builtin_shuffle(u[0], u[1], lo1) + __builtin_shuffle(u[0], u[1], hi1);
    const v8d s67 = __builtin_shuffle(u[2], u[3], lo1) + __builtin_shuffle(u[2], u[3], hi1);
    const v8d q0 = __builtin_shuffle(s01, s23, lo2) + __builtin_shuffle(s01, s23, hi2);
    const v8d q1 = __builtin_shuffle(s45, s67, lo2) + __builtin_shuffle(s45, s67, hi2);
    const v8d r = __builtin_shuffle(q0, q1, lo3) + __builtin_shuffle(q0, q1, hi3);
    const v8i spread0 = {0, 0, 0, 2, 1, 1, 1, 3}, spread1 = {4, 4, 4, 6, 5, 5, 5, 7};
    v8d* a0 = reinterpret_cast<v8d*>(acc) + e0;
    a0[0] += tw * __builtin_shuffle(r, spread0);
    a0[1] += tw * __builtin_shuffle(r, spread1);
  };
  for (int n = 0; n <= p_; ++n) {
    // Row n into the accumulators.
    for (int m = 0; m <= n; ++m) {
      const v8d rr = cur[m], ri = cur[w + m];
      const v8d v[4] = {a * rr, a * ri, b * rr, b * ri};
      const int e = half_entry(n, m);
      if (pend_entry < 0) {
        for (int k = 0; k < 4; ++k) pend[k] = v[k];
        pend_entry = e;
      } else {
        reduce_pair(pend, v, pend_entry);
        pend_entry = -1;
      }
    }
    if (n == p_) break;
    // R(n+1,m) = ((2n+1) z R(n,m) - r^2 R(n-1,m)) / ((n+m+1)(n-m+1)), m = 0..n.
    const v8d an = twon1_[n] * z;
    const double* iv = inv_.data() + index(n, 0);
    for (int m = 0; m <= n; ++m) {
      next[m] = (an * cur[m] - r2 * prev[m]) * iv[m];
      next[w + m] = (an * cur[w + m] - r2 * prev[w + m]) * iv[m];
    }
    // R(n+1,n+1) = R(n,n) (x/2 + i y/2) / (n+1).
    const v8d tr = cur[n] * hx - cur[w + n] * hy;
    const v8d ti = cur[n] * hy + cur[w + n] * hx;
    next[n + 1] = tr * rcp_[n];
    next[w + n + 1] = ti * rcp_[n];
    // The buffer of row n-1 takes row n+2 next; a buffer only ever holds
    // rows of fewer orders than the one it takes, so the orders above a row
    // stay zero (R(n-1,n) = 0 as the recurrence reads it).
    v8d* old = prev;
    prev = cur;
    cur = next;
    next = old;
  }
  if (pend_entry >= 0) {
    // The last entry alone, its partner zero (the spare entry of acc).
    const v8d z4[4] = {zero, zero, zero, zero};
    reduce_pair(pend, z4, pend_entry);
  }
}

void PointKernels::lane_sums(const double* acc, double* cell) const {
  const int ne = half_entry(p_ + 1, 0);
  for (int i = 0; i < 8 * ne; ++i) cell[i] += acc[i];
}

void PointKernels::add_moments(const double* re_, const double* im_, const double nv[3],
                               const double u[3], const double a[4], const double b[4],
                               const double c[4], bool use_grad, double* const xr[4],
                               double* const xi[4]) const {
  const int s = s_;
  // From entry (0,0): the neighbours -s-1, -s, -s+1 stay inside the table.
  const int begin = s + 1, end = (p_ + 2) * s;
  const double* __restrict re = re_;
  const double* __restrict im = im_;
  double* __restrict xr0 = xr[0];
  double* __restrict xr1 = xr[1];
  double* __restrict xr2 = xr[2];
  double* __restrict xr3 = xr[3];
  double* __restrict xi0 = xi[0];
  double* __restrict xi1 = xi[1];
  double* __restrict xi2 = xi[2];
  double* __restrict xi3 = xi[3];
  const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
  if (!use_grad) {
#pragma GCC ivdep
    for (int i = begin; i < end; ++i) {
      const double rr = re[i], ri = im[i];
      xr0[i] += c0 * rr;
      xi0[i] += c0 * ri;
      xr1[i] += c1 * rr;
      xi1[i] += c1 * ri;
      xr2[i] += c2 * rr;
      xi2[i] += c2 * ri;
      xr3[i] += c3 * rr;
      xi3[i] += c3 * ri;
    }
    return;
  }
  const double n0 = nv[0], n1 = nv[1], n2 = nv[2];
  const double u0 = u[0], u1 = u[1], u2 = u[2];
  const double a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
  const double b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
#pragma GCC ivdep
  for (int i = begin; i < end; ++i) {
    const double lor = re[i - s - 1], loi = im[i - s - 1];
    const double hir = re[i - s + 1], hii = im[i - s + 1];
    const double g1r = 0.5 * (lor - hir), g1i = 0.5 * (loi - hii);
    const double g2r = -0.5 * (loi + hii), g2i = 0.5 * (lor + hir);
    const double g3r = re[i - s], g3i = im[i - s];
    const double dr = n0 * g1r + n1 * g2r + n2 * g3r;
    const double di = n0 * g1i + n1 * g2i + n2 * g3i;
    const double gr = u0 * g1r + u1 * g2r + u2 * g3r;
    const double gi = u0 * g1i + u1 * g2i + u2 * g3i;
    const double rr = re[i], ri = im[i];
    xr0[i] += a0 * dr + b0 * gr + c0 * rr;
    xi0[i] += a0 * di + b0 * gi + c0 * ri;
    xr1[i] += a1 * dr + b1 * gr + c1 * rr;
    xi1[i] += a1 * di + b1 * gi + c1 * ri;
    xr2[i] += a2 * dr + b2 * gr + c2 * rr;
    xi2[i] += a2 * di + b2 * gi + c2 * ri;
    xr3[i] += a3 * dr + b3 * gr + c3 * rr;
    xi3[i] += a3 * di + b3 * gi + c3 * ri;
  }
}

void PointKernels::evaluate(const double* re_, const double* im_, const double xh[3],
                            const double* const lr[4], const double* const li[4],
                            double out[3]) const {
  const int s = s_;
  // From entry (0,0), in whole vectors of 8 (the tail is zero padding).
  const int begin = s + 1, end = begin + ((p_ + 1) * s - 1 + 7) / 8 * 8;
  const double* __restrict re = re_;
  const double* __restrict im = im_;
  const double* __restrict l0r = lr[0];
  const double* __restrict l1r = lr[1];
  const double* __restrict l2r = lr[2];
  const double* __restrict l3r = lr[3];
  const double* __restrict l0i = li[0];
  const double* __restrict l1i = li[1];
  const double* __restrict l2i = li[2];
  const double* __restrict l3i = li[3];
  const double x0 = xh[0], x1 = xh[1], x2 = xh[2];
  double acc0[8] = {}, acc1[8] = {}, acc2[8] = {};
  for (int i0 = begin; i0 < end; i0 += 8) {
    for (int l = 0; l < 8; ++l) {
      const int i = i0 + l;
      const double lor = re[i - s - 1], loi = im[i - s - 1];
      const double hir = re[i - s + 1], hii = im[i - s + 1];
      const double g1r = 0.5 * (lor - hir), g1i = 0.5 * (loi - hii);
      const double g2r = -0.5 * (loi + hii), g2i = 0.5 * (lor + hir);
      const double g3r = re[i - s], g3i = im[i - s];
      const double br = l3r[i] - x0 * l0r[i] - x1 * l1r[i] - x2 * l2r[i];
      const double bi = l3i[i] - x0 * l0i[i] - x1 * l1i[i] - x2 * l2i[i];
      const double rr = re[i], ri = im[i];
      acc0[l] += (l0r[i] * rr - l0i[i] * ri) + (g1r * br - g1i * bi);
      acc1[l] += (l1r[i] * rr - l1i[i] * ri) + (g2r * br - g2i * bi);
      acc2[l] += (l2r[i] * rr - l2i[i] * ri) + (g3r * br - g3i * bi);
    }
  }
  auto lanes = [](const double* a) {
    return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
  };
  out[0] = lanes(acc0);
  out[1] = lanes(acc1);
  out[2] = lanes(acc2);
}

void PointKernels::store_half(const double* const xr[4], const double* const xi[4],
                              double* cell) const {
  for (int n = 0; n <= p_; ++n)
    for (int m = 0; m <= n; ++m) {
      double* e8 = cell + 8 * (n * (n + 1) / 2 + m);
      const int i = index(n, m);
      for (int j = 0; j < 4; ++j) {
        e8[j] = xr[j][i];
        e8[4 + j] = xi[j][i];
      }
    }
}

}  // namespace velmora
