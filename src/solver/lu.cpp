#include "solver/lu.hpp"

#include "common/array.hpp"
#include "common/blas.hpp"

namespace velmora {

void lufact(double* a_, int lda, int n, int* ipvt_, int& info) {
  const Mat<double> a(a_, lda);
  const Vec<int> ipvt(ipvt_);
  info = 0;
  for (int k = 1; k <= n - 1; ++k) {
    const int l = blas::idamax(n - k + 1, a.at(k, k), 1) + k - 1;
    ipvt(k) = l;
    if (a(l, k) == 0.0) {
      info = k;
      continue;
    }
    if (l != k) {
      const double t = a(l, k);
      a(l, k) = a(k, k);
      a(k, k) = t;
    }
    blas::dscal(n - k, -1.0 / a(k, k), a.at(k + 1, k), 1);
    for (int j = k + 1; j <= n; ++j) {
      const double t = a(l, j);
      if (l != k) {
        a(l, j) = a(k, j);
        a(k, j) = t;
      }
      blas::daxpy(n - k, t, a.at(k + 1, k), 1, a.at(k + 1, j), 1);
    }
  }
  ipvt(n) = n;
  if (a(n, n) == 0.0) info = n;
}

void lusolv(const double* a_, int lda, int n, const int* ipvt_, double* b_, int job) {
  const Mat<const double> a(a_, lda);
  const Vec<const int> ipvt(ipvt_);
  const Vec<double> b(b_);
  if (job == 0) {
    // L y = b, then U x = y.
    for (int k = 1; k <= n - 1; ++k) {
      const int l = ipvt(k);
      const double t = b(l);
      if (l != k) {
        b(l) = b(k);
        b(k) = t;
      }
      blas::daxpy(n - k, t, a.at(k + 1, k), 1, b.at(k + 1), 1);
    }
    for (int k = n; k >= 1; --k) {
      b(k) = b(k) / a(k, k);
      blas::daxpy(k - 1, -b(k), a.at(1, k), 1, b.at(1), 1);
    }
    return;
  }
  // Transposed: U' y = b, then L' x = y.
  for (int k = 1; k <= n; ++k) {
    const double t = blas::ddot(k - 1, a.at(1, k), 1, b.at(1), 1);
    b(k) = (b(k) - t) / a(k, k);
  }
  for (int k = n - 1; k >= 1; --k) {
    b(k) = b(k) + blas::ddot(n - k, a.at(k + 1, k), 1, b.at(k + 1), 1);
    const int l = ipvt(k);
    if (l != k) {
      const double t = b(l);
      b(l) = b(k);
      b(k) = t;
    }
  }
}

}  // namespace velmora
