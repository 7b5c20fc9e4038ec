// Closed-form integrals of the Stokeslet and of the traction kernel over a
// flat triangle.
//
// Both kernels are derivatives of the distance r = |x - y|:
//   d^2 r / dx_i dx_j       = delta_ij / r - r_i r_j / r^3,
//   d^3 r / dx_i dx_j dx_k  = 3 r_i r_j r_k / r^5
//                             - (delta_ij r_k + delta_ik r_j + delta_jk r_i) / r^3,
// so with H_ij and H_ijk their integrals over the element and D_i = H_ikk,
//   int U_ij = (delta_ij H_kk - H_ij) / (8 pi mu),
//   int T_ij = -(n_i D_j + n_j D_i + delta_ij n.D - 2 H_ijk n_k) / (8 pi).
// H_ij and H_ijk are sums of one closed-form term per edge, written in the
// edge's frame (tangent t, in-plane inward normal m, element normal n), and
// a term along n n and n n n.  The edge terms involve the distances RA, RB
// to the edge's ends and F = log((L + RA + RB) / (RA + RB - L)).  The n n and
// n n n terms carry the solid angle the element subtends (the edges' angles
// beta summed, with -4 pi sigma (|h|, 1) added for a projection inside the
// triangle).  For a target off the plane (h != 0) they are 2 h Omega n n and
// 2 Omega n n n with the signed solid angle
//   Omega = 2 atan2(-2A h, r1 r2 r3 + (R1.R2) r3 + (R1.R3) r2 + (R2.R3) r1),
// R_i = x_i - x the vertices seen from the target, r_i = |R_i|, 2A twice the
// area (the numerator is the triple product R1 . (R2 x R3) = -2A h; its sign
// is that of h, so Omega has no branch ambiguity).  In the plane (h = 0) the
// first is zero and the second is -4 pi n n n for a projection inside (the
// limit from the side n points to), zero outside.
//
// RA and RB are |x - A| and |x - B| formed from the Cartesian differences,
// and F adds the distance to the edge's lower-numbered node first, so both
// depend only on the target and the node or edge, not on the element: the
// neighbours of an element get the same bits, and triint_shared can form
// them once per node and edge.  A target snapped to a vertex takes them from
// its snapped in-edge coordinates instead.
//
// Evaluation order, kept fixed so that results are the same bits on every
// run: products are evaluated left to right, a scalar coefficient times a
// frame tensor is coefficient * (product of frame components), and the terms
// of a sum are added in the order they are written.
#include "bem/triint.hpp"

#include <algorithm>
#include <cmath>

#include "bem/triint_math.hpp"
#include "common/constants.hpp"

namespace velmora {
namespace {

// Targets handled together: the edge loops run over one block at a time, so
// the per-target temporaries stay in the first-level cache.
constexpr int kBlock = 64;
static_assert(kBlock % kTriintLanes == 0);

// Index pairs of H_ij (11, 12, 13, 22, 23, 33) and triples of H_ijk (111,
// 112, 113, 122, 123, 133, 222, 223, 233, 333), zero-based.
constexpr int kPair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
constexpr int kTriple[10][3] = {{0, 0, 0}, {0, 0, 1}, {0, 0, 2}, {0, 1, 1}, {0, 1, 2},
                                {0, 2, 2}, {1, 1, 1}, {1, 1, 2}, {1, 2, 2}, {2, 2, 2}};

// Position of H_ijk, for any order of i, j, k, among the ten stored components.
constexpr int kSym[3][3][3] = {{{0, 1, 2}, {1, 3, 4}, {2, 4, 5}},
                               {{1, 3, 4}, {3, 6, 7}, {4, 7, 8}},
                               {{2, 4, 5}, {4, 7, 8}, {5, 8, 9}}};
constexpr bool sym_table_matches() {
  for (int c = 0; c < 10; ++c) {
    const int i = kTriple[c][0], j = kTriple[c][1], k = kTriple[c][2];
    const int perm[6][3] = {{i, j, k}, {i, k, j}, {j, i, k}, {j, k, i}, {k, i, j}, {k, j, i}};
    for (const auto& p : perm)
      if (kSym[p[0]][p[1]][p[2]] != c) return false;
  }
  return true;
}
static_assert(sym_table_matches());

double dot(const double* a, const double* b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// S3(a, b, b)_ijk = a_i b_j b_k + b_i a_j b_k + b_i b_j a_k.
double s3(const double* a, const double* b, int i, int j, int k) {
  return a[i] * b[j] * b[k] + b[i] * a[j] * b[k] + b[i] * b[j] * a[k];
}

// S6(t, m, n)_ijk: t_a m_b n_g summed over the six orderings (a, b, g) of (i, j, k).
double s6(const double* t, const double* m, const double* n, int i, int j, int k) {
  return t[i] * m[j] * n[k] + t[i] * m[k] * n[j] + t[j] * m[i] * n[k] + t[j] * m[k] * n[i] +
         t[k] * m[i] * n[j] + t[k] * m[j] * n[i];
}

// The frame of edge j (from vertex `start` to vertex `end`, opposite vertex
// `opp`) and the tensors its terms multiply.
struct Edge {
  int start, end, opp;
  bool start_first;              // the start node has the lower node number
  double a[3], b[3];             // start and end points A, B
  double len;                    // L = |B - A|
  double t[3];                   // (B - A) / L
  double m[3];                   // n x t, pointing into the triangle
  double sa_opp, sb_opp, d_opp;  // in-edge coordinates of the opposite vertex
  double g2[4][6];               // t m + m t, m m, m n + n m, n n
  double g3[6][10];              // S3(t,m,m) + t t t, S6(t,m,n), m m m, S3(n,m,m), S3(m,n,n), n n n
};

// Without with_t, g3 is left unset (the Stokeslet needs only g2).
void build_edges(const double xv[3][3], const int node[3], const double n[3], Edge edge[3],
                 bool with_t) {
  for (int j = 0; j < 3; ++j) {
    Edge& g = edge[j];
    g.start = j + 1;
    g.end = (j + 1) % 3 + 1;
    g.opp = (j + 2) % 3 + 1;
    g.start_first = node[g.start - 1] < node[g.end - 1];
    const double* a = xv[g.start - 1];
    const double* b = xv[g.end - 1];
    const double* c = xv[g.opp - 1];
    double ab[3], ac[3], bc[3];
    for (int i = 0; i < 3; ++i) {
      g.a[i] = a[i];
      g.b[i] = b[i];
      ab[i] = b[i] - a[i];
      ac[i] = c[i] - a[i];
      bc[i] = c[i] - b[i];
    }
    g.len = triint_edge_length(a, b);
    for (int i = 0; i < 3; ++i) g.t[i] = ab[i] / g.len;
    g.m[0] = n[1] * g.t[2] - n[2] * g.t[1];
    g.m[1] = n[2] * g.t[0] - n[0] * g.t[2];
    g.m[2] = n[0] * g.t[1] - n[1] * g.t[0];
    g.sa_opp = dot(ac, g.t);
    g.sb_opp = dot(bc, g.t);
    g.d_opp = dot(ac, g.m);
  }
  for (int e = 0; e < 3; ++e) {
    Edge& g = edge[e];
    const double* t = g.t;
    const double* m = g.m;
    for (int c = 0; c < 6; ++c) {
      const int i = kPair[c][0], j = kPair[c][1];
      g.g2[0][c] = t[i] * m[j] + t[j] * m[i];
      g.g2[1][c] = m[i] * m[j];
      g.g2[2][c] = m[i] * n[j] + m[j] * n[i];
      g.g2[3][c] = n[i] * n[j];
    }
    if (!with_t) continue;
    for (int c = 0; c < 10; ++c) {
      const int i = kTriple[c][0], j = kTriple[c][1], k = kTriple[c][2];
      g.g3[0][c] = s3(t, m, i, j, k) + t[i] * t[j] * t[k];
      g.g3[1][c] = s6(t, m, n, i, j, k);
      g.g3[2][c] = m[i] * m[j] * m[k];
      g.g3[3][c] = s3(n, m, i, j, k);
      g.g3[4][c] = s3(m, n, i, j, k);
      g.g3[5][c] = n[i] * n[j] * n[k];
    }
  }
}

// Per-target state of one block.  Integer quantities (sign of h, snapped
// vertex, count of edges with d >= 0) are held as exact small reals so that
// every target loop is uniform double arithmetic.
struct Block {
  alignas(64) double x[kBlock], y[kBlock], z[kBlock];
  alignas(64) double h[kBlock], sigma[kBlock], s[kBlock], vtx[kBlock], count[kBlock];
  alignas(64) double sa[kBlock], sb[kBlock], d[kBlock], ra[kBlock], rb[kBlock];
  alignas(64) double larg[kBlock], ay[kBlock], ax[kBlock], f[kBlock], at[kBlock];
  alignas(64) double h2[6][kBlock], h3[10][kBlock];
  alignas(64) double dv[3][kBlock];
  alignas(64) double rv[3][kBlock];  // distances to the vertices
};

// Step 1 of an edge: in-edge coordinates, distances to the ends, the
// argument of the logarithm and the count of inner sides.
// With kRows, RA, RB and F come from the shared rows (no target of the block
// is snapped); otherwise they are formed here and F is left to the caller as
// its argument larg.
template <bool kRows>
void edge_coordinates(const Edge& g, Block& B, int np, const double* ra_row = nullptr,
                      const double* rb_row = nullptr, const double* f_row = nullptr) {
  const double a0 = g.a[0], a1 = g.a[1], a2 = g.a[2];
  const double b0 = g.b[0], b1 = g.b[1], b2 = g.b[2];
  const double t0 = g.t[0], t1 = g.t[1], t2 = g.t[2];
  const double m0 = g.m[0], m1 = g.m[1], m2 = g.m[2];
  const double len = g.len;
  const double vs = g.start, ve = g.end, vo = g.opp;
  const double sao = g.sa_opp, sbo = g.sb_opp, dop = g.d_opp;
  for (int k = 0; k < np; ++k) {
    const double xa = B.x[k] - a0, ya = B.y[k] - a1, za = B.z[k] - a2;
    const double xb = B.x[k] - b0, yb = B.y[k] - b1, zb = B.z[k] - b2;
    const double sa_free = xa * t0 + ya * t1 + za * t2;
    const double sb_free = xb * t0 + yb * t1 + zb * t2;
    const double d_free = xa * m0 + ya * m1 + za * m2;
    // A target snapped to vertex V sits on V within its own plane.
    const double v = B.vtx[k];
    const double sa = v == vs ? 0.0 : v == ve ? len : v == vo ? sao : sa_free;
    const double sb = v == vs ? -len : v == ve ? 0.0 : v == vo ? sbo : sb_free;
    const double d = v == vs ? 0.0 : v == ve ? 0.0 : v == vo ? dop : d_free;
    B.count[k] += d >= 0.0 ? 1.0 : 0.0;
    B.sa[k] = sa;
    B.sb[k] = sb;
    B.d[k] = d;
    if constexpr (!kRows) {
      const double h = B.h[k];
      const double hh = h * h, dd = d * d;
      // Squared; the root is taken below.
      B.ra[k] = v == 0.0 ? xa * xa + ya * ya + za * za : sa * sa + hh + dd;
      B.rb[k] = v == 0.0 ? xb * xb + yb * yb + zb * zb : sb * sb + hh + dd;
    }
  }
  if constexpr (kRows) {
    std::copy_n(ra_row, np, B.ra);
    std::copy_n(rb_row, np, B.rb);
    std::copy_n(f_row, np, B.f);
  } else {
    triint_sqrt(B.ra, B.ra, np);
    triint_sqrt(B.rb, B.rb, np);
  }
  if constexpr (!kRows) {
    const bool start_first = g.start_first;
    for (int k = 0; k < np; ++k) {
      const double ra = B.ra[k], rb = B.rb[k];
      const double r1 = start_first ? ra : rb, r2 = start_first ? rb : ra;
      B.larg[k] = (len + r1 + r2) / (r1 + r2 - len);
    }
  }
}

// Step 2 of an edge: the edge angle and the edge's terms of H_ij and, with
// kWithT, of H_ijk.
template <bool kWithT>
void edge_terms(const Edge& g, Block& B, int np) {
  double g2[4][6], g3[6][10];
  std::copy(&g.g2[0][0], &g.g2[0][0] + 24, &g2[0][0]);
  if constexpr (kWithT) std::copy(&g.g3[0][0], &g.g3[0][0] + 60, &g3[0][0]);
  for (int k = 0; k < np; ++k) {
    const double sa = B.sa[k], sb = B.sb[k], d = B.d[k], ra = B.ra[k], rb = B.rb[k];
    const double h = B.h[k], s = B.s[k], f = B.f[k];
    // The edge angles enter through the solid angle, added after the edges.
    const double p1 = (ra - rb) / 2.0;
    const double p2 = d * f;
    const double p3 = h * f;
    const double p4 = d * f;
#pragma GCC unroll 6
    for (int c = 0; c < 6; ++c)
      B.h2[c][k] += p1 * g2[0][c] + p2 * g2[1][c] + p3 * g2[2][c] + p4 * g2[3][c];

    if constexpr (kWithT) {
      const double hh = h * h, dd = d * d;
      const double w = sa / ra - sb / rb;
      const double q = (s != 0.0 || d != 0.0) ? w / (hh + dd) : 0.0;
      const double dinv = 1.0 / ra - 1.0 / rb;
      const double q1 = d * dinv;
      const double q2 = (h / 2.0) * dinv;
      const double q3 = f - w - dd * q;
      const double q4 = -h * d * q;
      const double q5 = f - hh * q;
      const double q6 = h * d * q;
#pragma GCC unroll 10
      for (int c = 0; c < 10; ++c)
        B.h3[c][k] += q1 * g3[0][c] + q2 * g3[1][c] + q3 * g3[2][c] + q4 * g3[3][c] +
                      q5 * g3[4][c] + q6 * g3[5][c];
    }
  }
}

// The targets of one call: a TRIINT list (gathered block by block, the
// working state returned), or the gathered targets and shared rows of
// triint_shared (no working state; without kWithT the traction-kernel
// results are not written).
struct Targets {
  const int* ltarg = nullptr;
  const TriintTargets* shared = nullptr;
  const TriintSourceRows* rows = nullptr;
};

template <bool kWithT, bool kShared>
void triint_parts(TriintMath path, const MeshView& mesh, double mu, double snaptol,
                  const Targets& tl, const NearCoef& coef, const TriintWork* work,
                  double normal[3], int es) {
  // Geometry of the source: vertices, unit normal, edge frames.
  const ElementGeometry geo = element_geometry(mesh, es);
  const double n[3] = {geo.normal[0], geo.normal[1], geo.normal[2]};
  double xv[3][3];
  int node[3];
  for (int v = 0; v < 3; ++v) {
    node[v] = mesh.node(es, v + 1);
    for (int c = 0; c < 3; ++c) xv[v][c] = mesh.x(node[v], c + 1);
  }
  Edge edge[3];
  build_edges(xv, node, n, edge, kWithT);
  normal[0] = n[0];
  normal[1] = n[1];
  normal[2] = n[2];

  const int nt = kShared ? tl.shared->n : tl.ltarg[0];
  if (nt <= 0) return;

  const double snap2 = snaptol * snaptol;
  const double fmu = 1.0 / (kEightPi * mu);
  const double n0 = n[0], n1 = n[1], n2 = n[2];
  Block B;

  for (int k0 = 0; k0 < nt; k0 += kBlock) {
    const int nb = std::min(kBlock, nt - k0);
    // Whole vector blocks; the padding lanes repeat the last target.
    const int np = (nb + kTriintLanes - 1) / kTriintLanes * kTriintLanes;
    double self[kBlock];
    if constexpr (kShared) {
      const TriintTargets& tg = *tl.shared;
      std::copy_n(tg.x + k0, np, B.x);
      std::copy_n(tg.y + k0, np, B.y);
      std::copy_n(tg.z + k0, np, B.z);
      for (int k = 0; k < np; ++k) self[k] = tg.elem[k0 + std::min(k, nb - 1)] == es ? 1.0 : 0.0;
    } else {
      for (int k = 0; k < np; ++k) {
        const int e = tl.ltarg[1 + k0 + std::min(k, nb - 1)];
        B.x[k] = mesh.col(e, 1);
        B.y[k] = mesh.col(e, 2);
        B.z[k] = mesh.col(e, 3);
        self[k] = e == es ? 1.0 : 0.0;
      }
    }

    // Classification: side of the source plane and snapping to a vertex; the
    // sums start from zero (stores in this loop rather than a fill, which
    // costs more for the short blocks).
    int snapped = 0;
    for (int k = 0; k < np; ++k) {
      const double x = B.x[k], y = B.y[k], z = B.z[k];
      const double hfree = n0 * (x - xv[0][0]) + n1 * (y - xv[0][1]) + n2 * (z - xv[0][2]);
      const double h = self[k] != 0.0 ? 0.0 : hfree;
      B.h[k] = h;
      B.sigma[k] = h < 0.0 ? -1.0 : 1.0;
      B.s[k] = h < 0.0 ? -1.0 : h > 0.0 ? 1.0 : 0.0;
      double v = 0.0;
      for (int iv = 0; iv < 3; ++iv) {
        const double dx = x - xv[iv][0], dy = y - xv[iv][1], dz = z - xv[iv][2];
        const double dist2 = dx * dx + dy * dy + dz * dz - h * h;
        v = snap2 >= dist2 ? iv + 1.0 : v;
      }
      B.vtx[k] = v;
      snapped |= v != 0.0 ? 1 : 0;
      B.count[k] = 0.0;
#pragma GCC unroll 6
      for (int c = 0; c < 6; ++c) B.h2[c][k] = 0.0;
      if constexpr (kWithT) {
#pragma GCC unroll 10
        for (int c = 0; c < 10; ++c) B.h3[c][k] = 0.0;
      }
    }

    // Edge sums, edge-outer and target-inner; the shared rows serve a block
    // without snapped targets.
    const bool rows = kShared && snapped == 0;
    for (int j = 0; j < 3; ++j) {
      const Edge& g = edge[j];
      if (rows) {
        const TriintSourceRows& r = *tl.rows;
        edge_coordinates<true>(g, B, np, r.r[g.start - 1] + k0, r.r[g.end - 1] + k0, r.f[j] + k0);
      } else {
        edge_coordinates<false>(g, B, np);
        triint_log(path, B.larg, B.f, np);
      }
      std::copy_n(B.ra, np, B.rv[g.start - 1]);
      edge_terms<kWithT>(g, B, np);
    }

    // Solid angle: the vertices seen from the target (a snapped target sits
    // on its vertex within its own plane), the denominator, and atan2.
    const double two_a = 2.0 * geo.area;
    for (int k = 0; k < np; ++k) {
      const double v = B.vtx[k], h = B.h[k];
      double q[3];
      for (int c = 0; c < 3; ++c) {
        const double free = c == 0 ? B.x[k] : c == 1 ? B.y[k] : B.z[k];
        const double at_v = v == 1.0   ? xv[0][c] + h * n[c]
                            : v == 2.0 ? xv[1][c] + h * n[c]
                                       : xv[2][c] + h * n[c];
        q[c] = v == 0.0 ? free : at_v;
      }
      double r[3][3];
      for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c) r[i][c] = xv[i][c] - q[c];
      const double r1 = B.rv[0][k], r2 = B.rv[1][k], r3 = B.rv[2][k];
      B.ax[k] = r1 * r2 * r3 + dot(r[0], r[1]) * r3 + dot(r[0], r[2]) * r2 + dot(r[1], r[2]) * r1;
      B.ay[k] = -two_a * h;
    }
    triint_atan2(path, B.ay, B.ax, B.at, np);
    const double nn[6] = {n0 * n0, n0 * n1, n0 * n2, n1 * n1, n1 * n2, n2 * n2};
    double nnn[10];
    for (int c = 0; c < 10; ++c) nnn[c] = n[kTriple[c][0]] * n[kTriple[c][1]] * n[kTriple[c][2]];
    for (int k = 0; k < np; ++k) {
      const bool off = B.s[k] != 0.0;
      const double omega = 2.0 * B.at[k];
      const double c2 = 2.0 * B.h[k] * omega;
      // In the plane nothing is added to H_ij (not even a zero, which would
      // turn -0 into +0).
#pragma GCC unroll 6
      for (int c = 0; c < 6; ++c) B.h2[c][k] = off ? B.h2[c][k] + c2 * nn[c] : B.h2[c][k];
      if constexpr (kWithT) {
        const bool inside = B.count[k] == 3.0;
        const double c3 = off ? 2.0 * omega : kMinusFourPi;
#pragma GCC unroll 10
        for (int c = 0; c < 10; ++c)
          B.h3[c][k] = off || inside ? B.h3[c][k] + c3 * nnn[c] : B.h3[c][k];
      }
    }

    // Stokeslet integrals.
    {
      const double* h11 = B.h2[0];
      const double* h12 = B.h2[1];
      const double* h13 = B.h2[2];
      const double* h22 = B.h2[3];
      const double* h23 = B.h2[4];
      const double* h33 = B.h2[5];
      double* u = coef.u[0] + k0;
      for (int k = 0; k < nb; ++k) u[k] = (h22[k] + h33[k]) * fmu;
      u = coef.u[1] + k0;
      for (int k = 0; k < nb; ++k) u[k] = -h12[k] * fmu;
      u = coef.u[2] + k0;
      for (int k = 0; k < nb; ++k) u[k] = -h13[k] * fmu;
      u = coef.u[3] + k0;
      for (int k = 0; k < nb; ++k) u[k] = (h33[k] + h11[k]) * fmu;
      u = coef.u[4] + k0;
      for (int k = 0; k < nb; ++k) u[k] = -h23[k] * fmu;
      u = coef.u[5] + k0;
      for (int k = 0; k < nb; ++k) u[k] = (h22[k] + h11[k]) * fmu;
    }

    // Traction-kernel integrals: D_i = H_i11 + H_i22 + H_i33, Dn = n . D,
    // T_ij = -(n_i D_j + n_j D_i + delta_ij Dn - 2 H_ijk n_k) / (8 pi).
    if constexpr (!kWithT) {
      if constexpr (!kShared)
        for (auto* t : coef.t) std::fill_n(t + k0, nb, 0.0);
    } else {
      for (int i = 0; i < 3; ++i) {
        const double* a = B.h3[kSym[i][0][0]];
        const double* b = B.h3[kSym[i][1][1]];
        const double* c = B.h3[kSym[i][2][2]];
        double* dv = B.dv[i];
        for (int k = 0; k < np; ++k) dv[k] = a[k] + b[k] + c[k];
      }
      const double* d1 = B.dv[0];
      const double* d2 = B.dv[1];
      const double* d3 = B.dv[2];
      for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j) {
          const double* hj1 = B.h3[kSym[i][j][0]];
          const double* hj2 = B.h3[kSym[i][j][1]];
          const double* hj3 = B.h3[kSym[i][j][2]];
          const double* di = B.dv[i];
          const double* dj = B.dv[j];
          const double ni = n[i], nj = n[j];
          double* t = coef.t[3 * i + j] + k0;
          if (i == j) {
            for (int k = 0; k < nb; ++k) {
              const double dn = n0 * d1[k] + n1 * d2[k] + n2 * d3[k];
              const double hn = hj1[k] * n0 + hj2[k] * n1 + hj3[k] * n2;
              t[k] = kMinusInvEightPi * (ni * dj[k] + nj * di[k] + dn - 2.0 * hn);
            }
          } else {
            for (int k = 0; k < nb; ++k) {
              const double hn = hj1[k] * n0 + hj2[k] * n1 + hj3[k] * n2;
              t[k] = kMinusInvEightPi * (ni * dj[k] + nj * di[k] - 2.0 * hn);
            }
            // T21 = T12, T31 = T13, T32 = T23.
            std::copy_n(t, nb, coef.t[3 * j + i] + k0);
          }
        }
    }

    // The working state as the caller sees it.
    if constexpr (kShared) continue;
    for (int k = 0; k < nb; ++k)
      work->flag[k0 + k] = 10 * static_cast<int>(B.vtx[k]) + static_cast<int>(B.count[k]);
    for (int k = 0; k < nb; ++k) work->s[k0 + k] = static_cast<int>(B.s[k]);
    std::copy_n(B.h, nb, work->h + k0);
    std::copy_n(B.sigma, nb, work->sigma + k0);
    for (int c = 0; c < 6; ++c) std::copy_n(B.h2[c], nb, work->hint[c] + k0);
    if constexpr (kWithT)
      for (int c = 0; c < 10; ++c) std::copy_n(B.h3[c], nb, work->tint[c] + k0);
  }
}

}  // namespace

void triint_with(TriintMath path, const MeshView& mesh, double mu, double snaptol, const int* ltarg,
                 const NearCoef& coef, const TriintWork& work, double normal[3], int es,
                 TriintParts parts) {
  Targets tl;
  tl.ltarg = ltarg;
  if (parts == TriintParts::All)
    triint_parts<true, false>(path, mesh, mu, snaptol, tl, coef, &work, normal, es);
  else
    triint_parts<false, false>(path, mesh, mu, snaptol, tl, coef, &work, normal, es);
}

double triint_edge_length(const double a[3], const double b[3]) {
  const double d0 = b[0] - a[0], d1 = b[1] - a[1], d2 = b[2] - a[2];
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

void triint_node_row(const TriintTargets& tg, const double p[3], double* r) {
  const int np = triint_padded(tg.n);
  const double p0 = p[0], p1 = p[1], p2 = p[2];
  for (int k = 0; k < np; ++k) {
    const double xa = tg.x[k] - p0, ya = tg.y[k] - p1, za = tg.z[k] - p2;
    r[k] = xa * xa + ya * ya + za * za;
  }
  triint_sqrt(r, r, np);
}

void triint_edge_row(const TriintTargets& tg, double len, const double* rlo, const double* rhi,
                     double* f) {
  const int np = triint_padded(tg.n);
  for (int k = 0; k < np; ++k) f[k] = (len + rlo[k] + rhi[k]) / (rlo[k] + rhi[k] - len);
  triint_log(TriintMath::Vector, f, f, np);
}

void triint_shared(const MeshView& mesh, double mu, double snaptol, const TriintTargets& targets,
                   const TriintSourceRows& rows, const NearCoef& coef, double normal[3], int es,
                   TriintParts parts) {
  Targets tl;
  tl.shared = &targets;
  tl.rows = &rows;
  if (parts == TriintParts::All)
    triint_parts<true, true>(TriintMath::Vector, mesh, mu, snaptol, tl, coef, nullptr, normal, es);
  else
    triint_parts<false, true>(TriintMath::Vector, mesh, mu, snaptol, tl, coef, nullptr, normal,
                              es);
}

void TRIINT(const MeshView& mesh, double mu, double snaptol, const int* ltarg, const NearCoef& coef,
            const TriintWork& work, double normal[3], int es) {
  triint_with(TriintMath::Vector, mesh, mu, snaptol, ltarg, coef, work, normal, es);
}

}  // namespace velmora
