#include "rigid/mobility_matrix.hpp"

#include "rigid/rigid_bodies.hpp"

namespace velmora {
namespace {

// D with D x = d x x.
void cross_matrix(const double d[3], double D[3][3]) {
  D[0][0] = 0.0;   D[0][1] = -d[2]; D[0][2] = d[1];
  D[1][0] = d[2];  D[1][1] = 0.0;   D[1][2] = -d[0];
  D[2][0] = -d[1]; D[2][1] = d[0];  D[2][2] = 0.0;
}

// Axial vector of the antisymmetric part's double: (X32 - X23, X13 - X31, X21 - X12).
void axial(const double X[3][3], double a[3]) {
  a[0] = X[2][1] - X[1][2];
  a[1] = X[0][2] - X[2][0];
  a[2] = X[1][0] - X[0][1];
}

// Mrt + Mrr D.
void coupling(const std::vector<double>& m, const double d[3], double X[3][3]) {
  double D[3][3];
  cross_matrix(d, D);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = m[6 * (3 + i) + j];
      for (int k = 0; k < 3; ++k) s += m[6 * (3 + i) + 3 + k] * D[k][j];
      X[i][j] = s;
    }
}

}  // namespace

bool invert_matrix(int n, const std::vector<double>& a, std::vector<double>& inv) {
  inv.assign(static_cast<std::size_t>(n) * n, 0.0);
  std::vector<double> col(n);
  for (int k = 0; k < n; ++k) {
    std::fill(col.begin(), col.end(), 0.0);
    col[k] = 1.0;
    if (!dense_solve(n, a, col.data())) return false;
    for (int i = 0; i < n; ++i) inv[static_cast<std::size_t>(i) * n + k] = col[i];
  }
  return true;
}

std::vector<double> shift_mobility(const std::vector<double>& m, const double d[3]) {
  double D[3][3];
  cross_matrix(d, D);
  double J[6][6] = {};
  for (int i = 0; i < 6; ++i) J[i][i] = 1.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) J[3 + i][j] = D[i][j];
  double mj[6][6];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      double s = 0.0;
      for (int k = 0; k < 6; ++k) s += m[6 * i + k] * J[k][j];
      mj[i][j] = s;
    }
  std::vector<double> out(36);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      double s = 0.0;
      for (int k = 0; k < 6; ++k) s += J[k][i] * mj[k][j];
      out[6 * i + j] = s;
    }
  return out;
}

bool centre_of_mobility(const std::vector<double>& m, double d[3]) {
  // The axial vector is affine in d: a(d) = a(0) + Q d, column k of Q being
  // a(e_k) - a(0).
  const double zero[3] = {0, 0, 0};
  double X[3][3], a0[3];
  coupling(m, zero, X);
  axial(X, a0);
  std::vector<double> q(9);
  for (int k = 0; k < 3; ++k) {
    double e[3] = {0, 0, 0}, a[3];
    e[k] = 1.0;
    coupling(m, e, X);
    axial(X, a);
    for (int i = 0; i < 3; ++i) q[3 * i + k] = a[i] - a0[i];
  }
  double rhs[3] = {-a0[0], -a0[1], -a0[2]};
  if (!dense_solve(3, q, rhs)) return false;
  for (int i = 0; i < 3; ++i) d[i] = rhs[i];
  return true;
}

}  // namespace velmora
