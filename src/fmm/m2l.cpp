#include "fmm/m2l.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "fmm/translate.hpp"

namespace velmora {
namespace {

// Largest remainder t - t0 handled by the first-order rotation; its error,
// about e^2 n^2 / 2 relative, stays below 1e-16 for n <= 16.
constexpr double kAngleMatch = 1e-9;

// Remainders up to this size are the rounding of the cell centres: the
// first-order rotation by e would change a translation by at most (p+1)|e|
// relative (under 3e-14 for p <= 16), below the rounding of the translation
// itself, so it is skipped.
constexpr double kTiltFloor = 8.0 * 2.220446049250313e-16;

std::size_t round8(std::size_t n) {
  return (n + 7) / 8 * 8;
}
std::size_t cell_doubles(int p) {
  return 8 * static_cast<std::size_t>(2 * p + 1) * (p + 1);
}

// The work array, in doubles from a 64-byte boundary.
struct Work {
  double* x;     // half layout
  double* y;     // half layout
  double* ph_m;  // e^{-imf}, m = 0..p
  double* ph_p;  // e^{+imf}
  double* coef;  // translation coefficients (2p+1, or p+5)
  double* rot1;  // rotation blocks computed during the call
  double* rot2;
  double* rscr;    // scratch of the rotation recursion
  Complex* cells;  // three cell expansions (general variants)
  // Pair translations: the second set's vectors and phases, two pair-layout
  // vectors and the pair shift's coefficients.
  double* phb_m;
  double* phb_p;
  double* x2;
  double* y2;
  double* coef2;

  static std::size_t doubles(int p) {
    return 2 * round8(half_size(p)) + 2 * round8(2 * static_cast<std::size_t>(p + 1)) +
           round8(2 * static_cast<std::size_t>(p) + 8) + 2 * round8(yrot_size(p)) +
           round8(yrot_scratch_size(p)) + 3 * cell_doubles(p) + 2 * round8(2 * static_cast<std::size_t>(p + 1)) + 4 * round8(half_size(p)) +
           round8(zshift_pair_scratch(p));
  }

  Work(Complex* w, int p) {
    auto addr = reinterpret_cast<std::uintptr_t>(w);
    double* d = reinterpret_cast<double*>(w) + ((64 - addr % 64) % 64) / sizeof(double);
    x = d;
    d += round8(half_size(p));
    y = d;
    d += round8(half_size(p));
    ph_m = d;
    d += round8(2 * static_cast<std::size_t>(p + 1));
    ph_p = d;
    d += round8(2 * static_cast<std::size_t>(p + 1));
    coef = d;
    d += round8(2 * static_cast<std::size_t>(p) + 8);
    rot1 = d;
    d += round8(yrot_size(p));
    rot2 = d;
    d += round8(yrot_size(p));
    rscr = d;
    d += round8(yrot_scratch_size(p));
    cells = reinterpret_cast<Complex*>(d);
    d += 3 * cell_doubles(p);
    phb_m = d;
    d += round8(2 * static_cast<std::size_t>(p + 1));
    phb_p = d;
    d += round8(2 * static_cast<std::size_t>(p + 1));
    x2 = d;
    d += 2 * round8(half_size(p));
    y2 = d;
    d += 2 * round8(half_size(p));
    coef2 = d;
  }
};

// Geometry of an offset v: length, polar angle and azimuth phases, and the
// rotation matrices A(-t) and A(+t) (tabulated with the remainder e, or
// computed into the work array).
struct Offset {
  double r = 0.0;
  double e = 0.0;  // t - t0 for tabulated matrices, 0 otherwise
  std::ptrdiff_t k = -1;  // index of the tabulated angle, -1 when computed
  const double* a_minus = nullptr;
  const double* a_plus = nullptr;
};

// Index of the tabulated polar angle within kAngleMatch of t, or -1.
std::ptrdiff_t table_angle(const M2LOperator& op, double t) {
  const auto& th = op.theta;
  const std::ptrdiff_t hi = std::lower_bound(th.begin(), th.end(), t) - th.begin();
  const std::ptrdiff_t count = static_cast<std::ptrdiff_t>(th.size());
  std::ptrdiff_t k = -1;
  double best = kAngleMatch;
  for (std::ptrdiff_t c = hi - 1; c <= hi; ++c) {
    if (c < 0 || c >= count) continue;
    const double d = std::abs(t - th[c]);
    if (d <= best) {
      best = d;
      k = c;
    }
  }
  return k;
}

double polar_angle(const double v[3]) {
  return std::atan2(std::sqrt(v[0] * v[0] + v[1] * v[1]), v[2]);
}

// The offset's geometry; the phases go to ph_m, ph_p (those of w when null).
Offset offset(const M2LOperator& op, const double v[3], const Work& w, bool need_plus,
              double* ph_m = nullptr, double* ph_p = nullptr) {
  const int p = op.p;
  if (ph_m == nullptr) ph_m = w.ph_m;
  if (ph_p == nullptr) ph_p = w.ph_p;
  Offset o;
  const double rho2 = v[0] * v[0] + v[1] * v[1];
  const double rho = std::sqrt(rho2);
  o.r = std::sqrt(rho2 + v[2] * v[2]);
  const double t = std::atan2(rho, v[2]);
  // Phases e^{-imf} and e^{imf} by repeated products of e^{if} = (x + iy)/rho.
  const double cf = rho > 0.0 ? v[0] / rho : 1.0, sf = rho > 0.0 ? v[1] / rho : 0.0;
  ph_m[0] = ph_p[0] = 1.0;
  ph_m[1] = ph_p[1] = 0.0;
  for (int m = 1; m <= p; ++m) {
    const double c = ph_p[2 * m - 2], s = ph_p[2 * m - 1];
    ph_p[2 * m] = c * cf - s * sf;
    ph_p[2 * m + 1] = c * sf + s * cf;
    ph_m[2 * m] = ph_p[2 * m];
    ph_m[2 * m + 1] = -ph_p[2 * m + 1];
  }
  // Nearest tabulated angle.
  const std::ptrdiff_t k = table_angle(op, t);
  if (k >= 0) {
    o.k = k;
    o.e = t - op.theta[k];
    if (std::abs(o.e) <= kTiltFloor) o.e = 0.0;
    o.a_minus = op.blocks.data() + 2 * static_cast<std::size_t>(k) * op.rot_size;
    o.a_plus = o.a_minus + op.rot_size;
    return o;
  }
  // Not a lattice direction: A(-t) and A(+t) from cos t = z/r, sin t = rho/r.
  const double ct = v[2] / o.r, st = rho / o.r;
  yrotation_blocks<double>(p, ct, -st, w.rscr, w.rot1);
  o.a_minus = w.rot1;
  if (need_plus) {
    yrotation_blocks<double>(p, ct, st, w.rscr, w.rot2);
    o.a_plus = w.rot2;
  }
  return o;
}

void check_prepared(const M2LOperator& op) {
  if (op.p < 0) throw std::logic_error("expansion translation used before m2l_prepare");
}

// Splits X into its real and imaginary parts in the sense of the symmetry,
// X = A + i B with A(n,m) = (X(n,m) + X*(n,m))/2, B(n,m) = (X(n,m) - X*(n,m))/(2i),
// X*(n,m) = (-1)^m conj X(n,-m); orders m >= 0 are written.
void split(int p, const Complex* x, Complex* a, Complex* b) {
  const int w = 2 * p + 1;
  for (int n = 0; n <= p; ++n) {
    for (int m = 0; m <= n; ++m) {
      const double sg = (m % 2 == 0) ? 1.0 : -1.0;
      for (int j = 0; j < 4; ++j) {
        const std::size_t i = j + 4 * ((m + p) + w * n), ineg = j + 4 * ((p - m) + w * n);
        const Complex u = x[i];
        const Complex s(sg * x[ineg].real(), -sg * x[ineg].imag());
        a[i] = Complex(0.5 * (u.real() + s.real()), 0.5 * (u.imag() + s.imag()));
        // (u - s) / (2i) = (Im(u - s), -Re(u - s)) / 2
        b[i] = Complex(0.5 * (u.imag() - s.imag()), -0.5 * (u.real() - s.real()));
      }
    }
  }
}

using SymmetricOp = void (*)(const M2LOperator&, const Complex*, const double*, Complex*, Complex*);

// out += T(A) + i T(B) through the symmetric operator T.
void general(SymmetricOp op_fn, const M2LOperator& op, const Complex* in, const double v[3],
             Complex* out, Complex* work) {
  check_prepared(op);
  const int p = op.p;
  const Work w(work, p);
  const std::size_t cs = cell_doubles(p) / 2;
  Complex* a = w.cells;
  Complex* b = a + cs;
  Complex* t = b + cs;
  split(p, in, a, b);
  op_fn(op, a, v, out, work);
  for (std::size_t i = 0; i < cs; ++i) t[i] = Complex(0.0, 0.0);
  op_fn(op, b, v, t, work);
  for (std::size_t i = 0; i < cs; ++i)
    out[i] = Complex(out[i].real() - t[i].imag(), out[i].imag() + t[i].real());
}

}  // namespace

std::size_t M2LOperator::memory_bytes() const {
  return blocks.size() * sizeof(double) + theta.size() * sizeof(double);
}

void m2l_prepare(M2LOperator& op, int p) {
  if (p < 0) throw std::invalid_argument("m2l_prepare: negative expansion order");
  // Polar angles of the offsets between non-adjacent cells of one level that
  // interact: (i,j,k) with max |.| <= 3 and not all |.| <= 1.  The child
  // offsets (+-1,+-1,+-1) have the angles of (2,2,+-2).
  struct Dir {
    long double t, c, s;
  };
  std::vector<Dir> dirs;
  for (int i = -3; i <= 3; ++i) {
    for (int j = -3; j <= 3; ++j) {
      for (int k = -3; k <= 3; ++k) {
        if (std::abs(i) <= 1 && std::abs(j) <= 1 && std::abs(k) <= 1) continue;
        const long double rho = std::sqrt(static_cast<long double>(i * i + j * j));
        const long double r = std::sqrt(static_cast<long double>(i * i + j * j + k * k));
        dirs.push_back({std::atan2(rho, static_cast<long double>(k)), k / r, rho / r});
      }
    }
  }
  std::sort(dirs.begin(), dirs.end(), [](const Dir& a, const Dir& b) { return a.t < b.t; });
  std::vector<Dir> uniq;
  for (const Dir& d : dirs)
    if (uniq.empty() || d.t - uniq.back().t > 1e-12L) uniq.push_back(d);

  op.p = p;
  op.rot_size = yrot_size(p);
  op.theta.assign(uniq.size(), 0.0);
  op.blocks.assign(2 * uniq.size() * op.rot_size, 0.0);
  std::vector<long double> scratch(yrot_scratch_size(p));
  for (std::size_t k = 0; k < uniq.size(); ++k) {
    op.theta[k] = static_cast<double>(uniq[k].t);
    double* a_minus = op.blocks.data() + 2 * k * op.rot_size;
    yrotation_blocks<long double>(p, uniq[k].c, -uniq[k].s, scratch.data(), a_minus);
    yrotation_blocks<long double>(p, uniq[k].c, uniq[k].s, scratch.data(), a_minus + op.rot_size);
  }
}

std::size_t m2l_work_size(int p) {
  return (Work::doubles(p) + 8 + 1) / 2;
}

namespace {

// Reading and adding cells in the two layouts.
struct FullCells {
  using In = Complex;
  using Out = Complex;
  static void load(int p, const In* src, const double c[3], const double* ph, double* x) {
    expansion_to_half(p, src, c, ph, x);
  }
  static void add(int p, const double* y, const double* ph, Out* dst) {
    half_add_to_expansion(p, y, ph, dst);
  }
};
struct HalfCells {
  using In = double;
  using Out = double;
  static void load(int p, const In* src, const double c[3], const double* ph, double* x) {
    half_to_half(p, src, c, ph, x);
  }
  static void add(int p, const double* y, const double* ph, Out* dst) {
    half_add_to_half(p, y, ph, dst);
  }
};

// L += P^T T_z(r) P M', P = A(-t) diag(e^{-imf}).
// Without `recentre` the input's fourth expansion is used as it stands (M'
// = M; origin-referred moments).
template <class IO>
void m2l_impl(const M2LOperator& op, const typename IO::In* M, const double xhat[3],
              typename IO::Out* L, Complex* work, bool recentre = true) {
  check_prepared(op);
  const int p = op.p;
  const Work w(work, p);
  const Offset o = offset(op, xhat, w, false);
  const double c[3] = {-xhat[0], -xhat[1], -xhat[2]};
  IO::load(p, M, recentre ? c : nullptr, w.ph_m, w.x);  // diag(e^{-imf}) M'
  if (o.e != 0.0) tilt_half(p, -o.e, w.x);
  rotate_half(p, o.a_minus, w.x, w.y);  // P M'
  zshift_m2l(p, o.r, w.y, w.x, w.coef);
  rotate_half_t(p, o.a_minus, w.x, w.y);  // P^T ...
  if (o.e != 0.0) tilt_half_t(p, -o.e, w.y);
  IO::add(p, w.y, w.ph_m, L);
}

// Two multipole-to-local translations into one local expansion, L += T(xa) Ma
// then L += T(xb) Mb, whose offsets share a tabulated polar angle: the
// rotations and the shift run on both at once (pair layout), each with the
// arithmetic of m2l_impl, so L gets the bits of the two calls in turn.
void m2l_pair_half(const M2LOperator& op, const double* Ma, const double xa[3], const double* Mb,
                   const double xb[3], double* L, double* Lb, Complex* work, bool recentre) {
  check_prepared(op);
  const int p = op.p;
  const Work w(work, p);
  const Offset oa = offset(op, xa, w, false);
  const Offset ob = offset(op, xb, w, false, w.phb_m, w.phb_p);
  if (oa.k < 0 || oa.k != ob.k) {
    m2l_impl<HalfCells>(op, Ma, xa, L, work, recentre);
    m2l_impl<HalfCells>(op, Mb, xb, Lb, work, recentre);
    return;
  }
  const double ca[3] = {-xa[0], -xa[1], -xa[2]}, cb[3] = {-xb[0], -xb[1], -xb[2]};
  half_to_pair(p, Ma, recentre ? ca : nullptr, w.ph_m, w.x2, 0);
  if (oa.e != 0.0) tilt_pair(p, -oa.e, w.x2, 0);
  half_to_pair(p, Mb, recentre ? cb : nullptr, w.phb_m, w.x2, 1);
  if (ob.e != 0.0) tilt_pair(p, -ob.e, w.x2, 1);
  rotate_pair(p, oa.a_minus, w.x2, w.y2);  // P M'
  zshift_m2l_pair(p, oa.r, ob.r, w.y2, w.x2, w.coef2);
  rotate_pair_t(p, oa.a_minus, w.x2, w.y2);  // P^T ...
  if (oa.e != 0.0) tilt_pair_t(p, -oa.e, w.y2, 0);
  pair_add_to_half(p, w.y2, 0, w.ph_m, L);
  if (ob.e != 0.0) tilt_pair_t(p, -ob.e, w.y2, 1);
  pair_add_to_half(p, w.y2, 1, w.phb_m, Lb);
}

// Mp += P^{-1} U_z(r) P M', P^{-1} = diag(e^{imf}) A(t).
template <class IO>
void m2m_impl(const M2LOperator& op, const typename IO::In* Mc, const double d[3],
              typename IO::Out* Mp, Complex* work) {
  check_prepared(op);
  const int p = op.p;
  const Work w(work, p);
  const Offset o = offset(op, d, w, true);
  IO::load(p, Mc, d, w.ph_m, w.x);
  if (o.e != 0.0) tilt_half(p, -o.e, w.x);
  rotate_half(p, o.a_minus, w.x, w.y);  // P M'
  zshift_m2m(p, o.r, w.y, w.x, w.coef);
  rotate_half(p, o.a_plus, w.x, w.y);  // P^{-1} ...
  if (o.e != 0.0) tilt_half(p, o.e, w.y);
  IO::add(p, w.y, w.ph_p, Mp);
}

// Lc += P^T U_z(r)^T P^{-T} L', P^{-T} = A(t)^T diag(e^{imf}).
template <class IO>
void l2l_impl(const M2LOperator& op, const typename IO::In* Lp, const double d[3],
              typename IO::Out* Lc, Complex* work) {
  check_prepared(op);
  const int p = op.p;
  const Work w(work, p);
  const Offset o = offset(op, d, w, true);
  const double c[3] = {-d[0], -d[1], -d[2]};
  IO::load(p, Lp, c, w.ph_p, w.x);
  if (o.e != 0.0) tilt_half_t(p, o.e, w.x);
  rotate_half_t(p, o.a_plus, w.x, w.y);  // P^{-T} L'
  zshift_l2l(p, o.r, w.y, w.x, w.coef);
  rotate_half_t(p, o.a_minus, w.x, w.y);  // P^T ...
  if (o.e != 0.0) tilt_half_t(p, -o.e, w.y);
  IO::add(p, w.y, w.ph_m, Lc);
}

}  // namespace

void m2l_add(const M2LOperator& op, const Complex* M, const double xhat[3], Complex* L,
             Complex* work) {
  m2l_impl<FullCells>(op, M, xhat, L, work);
}
void m2m_add(const M2LOperator& op, const Complex* Mchild, const double d[3], Complex* Mparent,
             Complex* work) {
  m2m_impl<FullCells>(op, Mchild, d, Mparent, work);
}
void l2l_add(const M2LOperator& op, const Complex* Lparent, const double d[3], Complex* Lchild,
             Complex* work) {
  l2l_impl<FullCells>(op, Lparent, d, Lchild, work);
}

void m2l_add_half(const M2LOperator& op, const double* M, const double xhat[3], double* L,
                  Complex* work) {
  m2l_impl<HalfCells>(op, M, xhat, L, work);
}
void m2l_add_half_pair(const M2LOperator& op, const double* Ma, const double xa[3],
                       const double* Mb, const double xb[3], double* L, Complex* work) {
  m2l_pair_half(op, Ma, xa, Mb, xb, L, L, work, true);
}
void m2l_add_half_origin(const M2LOperator& op, const double* S, const double xhat[3], double* L,
                         Complex* work) {
  m2l_impl<HalfCells>(op, S, xhat, L, work, false);
}
void m2l_add_half_pair_origin(const M2LOperator& op, const double* Sa, const double xa[3],
                              const double* Sb, const double xb[3], double* La, double* Lb,
                              Complex* work) {
  m2l_pair_half(op, Sa, xa, Sb, xb, La, Lb, work, false);
}
void refer_to_origin(int p, const double d[3], double sign, double* x) {
  for (int e = 0; e < half_index(p + 1, 0); ++e) {
    double* v = x + 8 * e;
    for (int part = 0; part < 8; part += 4) {
      double* q = v + part;
      q[3] = q[3] + sign * d[0] * q[0];
      q[3] = q[3] + sign * d[1] * q[1];
      q[3] = q[3] + sign * d[2] * q[2];
    }
  }
}
std::ptrdiff_t m2l_angle_index(const M2LOperator& op, const double v[3]) {
  check_prepared(op);
  return table_angle(op, polar_angle(v));
}
void m2m_add_half(const M2LOperator& op, const double* Mchild, const double d[3], double* Mparent,
                  Complex* work) {
  m2m_impl<HalfCells>(op, Mchild, d, Mparent, work);
}
void l2l_add_half(const M2LOperator& op, const double* Lparent, const double d[3], double* Lchild,
                  Complex* work) {
  l2l_impl<HalfCells>(op, Lparent, d, Lchild, work);
}

void m2l_add_general(const M2LOperator& op, const Complex* M, const double xhat[3], Complex* L,
                     Complex* work) {
  general(m2l_add, op, M, xhat, L, work);
}
void m2m_add_general(const M2LOperator& op, const Complex* Mchild, const double d[3],
                     Complex* Mparent, Complex* work) {
  general(m2m_add, op, Mchild, d, Mparent, work);
}
void l2l_add_general(const M2LOperator& op, const Complex* Lparent, const double d[3],
                     Complex* Lchild, Complex* work) {
  general(l2l_add, op, Lparent, d, Lchild, work);
}

}  // namespace velmora
