// Eigenvalues and eigenvectors of a small symmetric matrix by cyclic Jacobi
// rotations (each rotation zeroes one off-diagonal pair; sweeps repeat until
// the off-diagonal part is below 1e-30 of the diagonal's, squared norms).
#pragma once

#include <cmath>

namespace velmora {

// lam: the N eigenvalues; V: the unit eigenvectors as its columns, V[k][i]
// component k of vector i.  Not sorted.
template <int N>
void symmetric_eigen(const double A[N][N], double lam[N], double V[N][N]) {
  double a[N][N];
  for (int p = 0; p < N; ++p)
    for (int q = 0; q < N; ++q) {
      a[p][q] = A[p][q];
      V[p][q] = p == q ? 1.0 : 0.0;
    }
  for (int sweep = 0; sweep < 50; ++sweep) {
    double off = 0.0, diag = 0.0;
    for (int p = 0; p < N; ++p) {
      diag += a[p][p] * a[p][p];
      for (int q = p + 1; q < N; ++q) off += a[p][q] * a[p][q];
    }
    if (!(off > 1e-30 * diag)) break;
    for (int p = 0; p < N - 1; ++p)
      for (int q = p + 1; q < N; ++q) {
        if (a[p][q] == 0.0) continue;
        const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), sn = t * c;
        for (int k = 0; k < N; ++k) {  // columns p, q
          const double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - sn * akq;
          a[k][q] = sn * akp + c * akq;
        }
        for (int k = 0; k < N; ++k) {  // rows p, q
          const double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - sn * aqk;
          a[q][k] = sn * apk + c * aqk;
        }
        for (int k = 0; k < N; ++k) {
          const double vkp = V[k][p], vkq = V[k][q];
          V[k][p] = c * vkp - sn * vkq;
          V[k][q] = sn * vkp + c * vkq;
        }
      }
  }
  for (int k = 0; k < N; ++k) lam[k] = a[k][k];
}

}  // namespace velmora
