#include "rigid/rigid_bodies.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/constants.hpp"
#include "common/symmetric_eigen.hpp"
#include "solver/lu.hpp"

namespace velmora {
namespace {

// The six rigid motions of a body at offset r = x - c: m_k = e_k,
// m_{3+k} = e_k x r.  Row k of `m` (3 entries) is m_k.
void rigid_modes(const double r[3], double m[6][3]) {
  for (int k = 0; k < 6; ++k) m[k][0] = m[k][1] = m[k][2] = 0.0;
  for (int k = 0; k < 3; ++k) m[k][k] = 1.0;
  // e_1 x r = (0, -r3, r2), e_2 x r = (r3, 0, -r1), e_3 x r = (-r2, r1, 0).
  m[3][1] = -r[2];
  m[3][2] = r[1];
  m[4][0] = r[2];
  m[4][2] = -r[0];
  m[5][0] = -r[1];
  m[5][1] = r[0];
}

}  // namespace

bool dense_solve(int n, std::vector<double> a, double* b) {
  // lufact works on column-major storage: factor the transpose of the
  // row-major a and solve with job 1 (the transpose of the transpose).
  std::vector<int> ipvt(n);
  int info = 0;
  lufact(a.data(), n, n, ipvt.data(), info);
  if (info != 0) return false;
  lusolv(a.data(), n, n, ipvt.data(), b, 1);
  return true;
}

RigidBodies make_rigid_bodies(const MeshView& mesh, const int* body, int nbody,
                              const double* centres) {
  RigidBodies rb;
  rb.nelem = mesh.nelem;
  rb.nbody = nbody;
  rb.body.assign(body, body + mesh.nelem);
  rb.centre.assign(centres, centres + 3 * nbody);
  rb.area.resize(mesh.nelem);
  rb.col.resize(3 * static_cast<std::size_t>(mesh.nelem));
  rb.gram_inv.assign(36 * static_cast<std::size_t>(nbody), 0.0);
  rb.body_area.assign(nbody, 0.0);
  std::vector<double> gram(36 * static_cast<std::size_t>(nbody), 0.0);
  std::vector<int> count(nbody, 0);
  for (int e = 1; e <= mesh.nelem; ++e) {
    const int b = body[e - 1];
    if (b < 1 || b > nbody)
      throw std::invalid_argument("element " + std::to_string(e) + " has no body");
    ++count[b - 1];
    const ElementGeometry g = element_geometry(mesh, e);
    rb.area[e - 1] = g.area;
    rb.body_area[b - 1] += g.area;
    double r[3], m[6][3];
    for (int c = 0; c < 3; ++c) {
      rb.col[3 * static_cast<std::size_t>(e - 1) + c] = mesh.col(e, c + 1);
      r[c] = mesh.col(e, c + 1) - centres[3 * (b - 1) + c];
    }
    rigid_modes(r, m);
    double* G = &gram[36 * static_cast<std::size_t>(b - 1)];
    for (int k = 0; k < 6; ++k)
      for (int l = 0; l < 6; ++l)
        G[6 * k + l] += g.area * (m[k][0] * m[l][0] + m[k][1] * m[l][1] + m[k][2] * m[l][2]);
  }
  for (int b = 1; b <= nbody; ++b) {
    if (count[b - 1] == 0)
      throw std::invalid_argument("body " + std::to_string(b) + " has no elements");
    const std::vector<double> G(gram.begin() + 36 * (b - 1), gram.begin() + 36 * b);
    for (int k = 0; k < 6; ++k) {
      double col[6] = {0, 0, 0, 0, 0, 0};
      col[k] = 1.0;
      if (!dense_solve(6, G, col))
        throw std::invalid_argument("body " + std::to_string(b) +
                                    " has no six independent rigid motions");
      for (int l = 0; l < 6; ++l) rb.gram_inv[36 * static_cast<std::size_t>(b - 1) + 6 * l + k] = col[l];
    }
  }
  rb.point_first.resize(static_cast<std::size_t>(nbody) + 1);
  for (int b = 0; b <= nbody; ++b) rb.point_first[b] = b;
  rb.point = rb.centre;
  return rb;
}

RigidBodies make_rigid_bodies(const MeshView& mesh, const int* body, int nbody,
                              const double* centres, const std::vector<int>& point_first,
                              const std::vector<double>& points) {
  RigidBodies rb = make_rigid_bodies(mesh, body, nbody, centres);
  if (static_cast<int>(point_first.size()) != nbody + 1 || point_first[0] != 0 ||
      3 * static_cast<std::size_t>(point_first[nbody]) != points.size())
    throw std::invalid_argument("the point lists do not match the bodies");
  for (int b = 0; b < nbody; ++b)
    if (point_first[b + 1] <= point_first[b])
      throw std::invalid_argument("body " + std::to_string(b + 1) + " has no point");
  rb.point_first = point_first;
  rb.point = points;
  // The torque's share carried by forces at lever arms d_j = y_j - c:
  // J = sum_j (|d_j|^2 I - d_j d_j^T) and its pseudo-inverse over the
  // eigenvalues above 1e-6 of the largest (collinear points leave the
  // torque about their line to the rotlets).
  rb.lever_inv.assign(9 * static_cast<std::size_t>(nbody), 0.0);
  rb.lever_share.assign(9 * static_cast<std::size_t>(nbody), 0.0);
  for (int b = 0; b < nbody; ++b) {
    if (point_first[b + 1] - point_first[b] < 2) continue;
    double J[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (int j = point_first[b]; j < point_first[b + 1]; ++j) {
      double d[3];
      for (int c = 0; c < 3; ++c) d[c] = points[3 * static_cast<std::size_t>(j) + c] - rb.centre[3 * b + c];
      const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
      for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) J[p][q] += (p == q ? dd : 0.0) - d[p] * d[q];
    }
    double lam[3], V[3][3];
    symmetric_eigen<3>(J, lam, V);
    const double top = std::max({lam[0], lam[1], lam[2]});
    for (int k = 0; k < 3; ++k) {
      if (!(lam[k] > 1e-6 * top)) continue;
      for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) {
          rb.lever_inv[9 * static_cast<std::size_t>(b) + 3 * p + q] += V[p][k] * V[q][k] / lam[k];
          rb.lever_share[9 * static_cast<std::size_t>(b) + 3 * p + q] += V[p][k] * V[q][k];
        }
    }
  }
  return rb;
}

void rigid_coefficients(const RigidBodies& rb, const double* x, double* coef) {
  std::vector<double> moment(6 * static_cast<std::size_t>(rb.nbody), 0.0);
  for (int e = 1; e <= rb.nelem; ++e) {
    const int b = rb.body[e - 1];
    const double* xe = x + 3 * static_cast<std::size_t>(e - 1);
    double r[3], m[6][3];
    for (int c = 0; c < 3; ++c)
      r[c] = rb.col[3 * static_cast<std::size_t>(e - 1) + c] - rb.centre[3 * (b - 1) + c];
    rigid_modes(r, m);
    double* mb = &moment[6 * static_cast<std::size_t>(b - 1)];
    for (int k = 0; k < 6; ++k)
      mb[k] += rb.area[e - 1] * (m[k][0] * xe[0] + m[k][1] * xe[1] + m[k][2] * xe[2]);
  }
  for (int b = 0; b < rb.nbody; ++b) {
    const double* Gi = &rb.gram_inv[36 * static_cast<std::size_t>(b)];
    for (int k = 0; k < 6; ++k) {
      double s = 0.0;
      for (int l = 0; l < 6; ++l) s += Gi[6 * k + l] * moment[6 * static_cast<std::size_t>(b) + l];
      coef[6 * static_cast<std::size_t>(b) + k] = s;
    }
  }
}

void add_rigid_motion(const RigidBodies& rb, const double* coef, double* y) {
#pragma omp parallel for schedule(static)
  for (int e = 1; e <= rb.nelem; ++e) {
    const int b = rb.body[e - 1];
    const double* v = coef + 6 * static_cast<std::size_t>(b - 1);
    const double* w = v + 3;
    double r[3];
    for (int c = 0; c < 3; ++c)
      r[c] = rb.col[3 * static_cast<std::size_t>(e - 1) + c] - rb.centre[3 * (b - 1) + c];
    double* ye = y + 3 * static_cast<std::size_t>(e - 1);
    ye[0] += v[0] + (w[1] * r[2] - w[2] * r[1]);
    ye[1] += v[1] + (w[2] * r[0] - w[0] * r[2]);
    ye[2] += v[2] + (w[0] * r[1] - w[1] * r[0]);
  }
}

void add_point_singularities(const RigidBodies& rb, double mu, const double* loads, double* y) {
  std::vector<int> all(static_cast<std::size_t>(rb.nbody));
  for (int b = 1; b <= rb.nbody; ++b) all[b - 1] = b;
  add_point_singularities(rb, mu, loads, y, all);
}

void add_point_singularities(const RigidBodies& rb, double mu, const double* loads, double* y,
                             const std::vector<int>& bodies) {
  const double scale = 1.0 / (8.0 * kPi * mu);
  // Each point's force and rotlet, in the order of the bodies and points.
  std::vector<double> px, py, pz, fx, fy, fz, tx, ty, tz;
  for (const int b : bodies) {
    const int j0 = rb.point_first[b - 1], j1 = rb.point_first[b];
    double F[3], T[3];
    for (int c = 0; c < 3; ++c) {
      F[c] = loads[6 * static_cast<std::size_t>(b - 1) + c];
      T[c] = loads[6 * static_cast<std::size_t>(b - 1) + 3 + c];
    }
    // Several points: F / K at each, the torque's lever share as the
    // forces w x d_j (w = J^+ T) and the rest as rotlets (T - J w) / K.
    double w[3] = {0.0, 0.0, 0.0};
    if (j1 - j0 > 1 && !rb.lever_inv.empty()) {
      const double* Ji = &rb.lever_inv[9 * static_cast<std::size_t>(b - 1)];
      const double* Js = &rb.lever_share[9 * static_cast<std::size_t>(b - 1)];
      double Tl[3];
      for (int p = 0; p < 3; ++p) {
        w[p] = Ji[3 * p] * T[0] + Ji[3 * p + 1] * T[1] + Ji[3 * p + 2] * T[2];
        Tl[p] = Js[3 * p] * T[0] + Js[3 * p + 1] * T[1] + Js[3 * p + 2] * T[2];
      }
      for (int c = 0; c < 3; ++c) T[c] -= Tl[c];
    }
    if (j1 - j0 > 1)
      for (int c = 0; c < 3; ++c) {
        F[c] /= (j1 - j0);
        T[c] /= (j1 - j0);
      }
    const double* cb = &rb.centre[3 * static_cast<std::size_t>(b - 1)];
    for (int j = j0; j < j1; ++j) {
      const double* yj = &rb.point[3 * static_cast<std::size_t>(j)];
      const double d[3] = {yj[0] - cb[0], yj[1] - cb[1], yj[2] - cb[2]};
      px.push_back(yj[0]);
      py.push_back(yj[1]);
      pz.push_back(yj[2]);
      fx.push_back(F[0] + w[1] * d[2] - w[2] * d[1]);
      fy.push_back(F[1] + w[2] * d[0] - w[0] * d[2]);
      fz.push_back(F[2] + w[0] * d[1] - w[1] * d[0]);
      tx.push_back(T[0]);
      ty.push_back(T[1]);
      tz.push_back(T[2]);
    }
  }
  const int np = static_cast<int>(px.size());
  // Blocks of elements, the points in the outer loop and the elements of
  // the block in the inner one, which vectorises; every element still sums
  // the points in their order, so the bits are those of the plain loop.
  constexpr int kBlock = 256;
  const int nblock = (rb.nelem + kBlock - 1) / kBlock;
#pragma omp parallel for schedule(static)
  for (int blk = 0; blk < nblock; ++blk) {
    const int e0 = blk * kBlock, n = std::min(kBlock, rb.nelem - e0);
    double cx[kBlock], cy[kBlock], cz[kBlock], ux[kBlock], uy[kBlock], uz[kBlock];
    for (int i = 0; i < n; ++i) {
      const double* xc = &rb.col[3 * static_cast<std::size_t>(e0 + i)];
      cx[i] = xc[0];
      cy[i] = xc[1];
      cz[i] = xc[2];
      ux[i] = uy[i] = uz[i] = 0.0;
    }
    for (int j = 0; j < np; ++j) {
      const double X = px[j], Y = py[j], Z = pz[j], Fx = fx[j], Fy = fy[j], Fz = fz[j];
      const double Tx = tx[j], Ty = ty[j], Tz = tz[j];
#pragma omp simd
      for (int i = 0; i < n; ++i) {
        const double r0 = cx[i] - X, r1 = cy[i] - Y, r2v = cz[i] - Z;
        const double r2 = r0 * r0 + r1 * r1 + r2v * r2v;
        const double ri = 1.0 / std::sqrt(r2);
        const double ri3 = ri * ri * ri;
        const double rf = r0 * Fx + r1 * Fy + r2v * Fz;
        // Stokeslet U(r) F and rotlet T x r / r^3.
        const double t0 = Ty * r2v - Tz * r1, t1 = Tz * r0 - Tx * r2v, t2 = Tx * r1 - Ty * r0;
        ux[i] += scale * (Fx * ri + r0 * rf * ri3 + t0 * ri3);
        uy[i] += scale * (Fy * ri + r1 * rf * ri3 + t1 * ri3);
        uz[i] += scale * (Fz * ri + r2v * rf * ri3 + t2 * ri3);
      }
    }
    for (int i = 0; i < n; ++i) {
      double* ye = y + 3 * static_cast<std::size_t>(e0 + i);
      ye[0] += ux[i];
      ye[1] += uy[i];
      ye[2] += uz[i];
    }
  }
}

}  // namespace velmora
