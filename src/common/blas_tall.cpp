#include "common/blas_tall.hpp"

#include <omp.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "common/blas.hpp"

namespace velmora::blas {

namespace {

// Rows of y = alpha A x + beta y formed a chunk at a time (the chunk's sums
// held while the columns pass).
constexpr int kRowChunk = 512;

void gemv_rows(int m, int n, double alpha, const double* a, int lda, const double* x, double beta,
               double* y) {
  const int nchunk = m <= 0 ? 0 : (m - 1) / kRowChunk + 1;
#pragma omp parallel for schedule(static) if (nchunk > 8)
  for (int c = 0; c < nchunk; ++c) {
    const int r0 = c * kRowChunk;
    const int nr = m - r0 < kRowChunk ? m - r0 : kRowChunk;
    double t[kRowChunk];
    for (int i = 0; i < nr; ++i) t[i] = 0.0;
    for (int k = 0; k < n; ++k) {
      const double xk = x[k];
      const double* col = a + static_cast<std::ptrdiff_t>(k) * lda + r0;
#pragma omp simd
      for (int i = 0; i < nr; ++i) t[i] += col[i] * xk;
    }
    double* yr = y + r0;
    if (beta == 0.0) {
      for (int i = 0; i < nr; ++i) yr[i] = alpha * t[i];
    } else {
      for (int i = 0; i < nr; ++i) yr[i] = beta * yr[i] + alpha * t[i];
    }
  }
}

}  // namespace

void axpy_rows(int n, double alpha, const double* x, double* y) {
#pragma omp simd
  for (int i = 0; i < n; ++i) y[i] += alpha * x[i];
}

void dgemv_tall(char trans, int m, int n, double alpha, const double* a, int lda,
                const double* x, double beta, double* y) {
  if (trans == 'N' || trans == 'n') {
    gemv_rows(m, n, alpha, a, lda, x, beta, y);
    return;
  }
  const int nblock = m <= 0 ? 0 : (m - 1) / kTallBlock + 1;
  if (nblock <= 1 || n <= 0) {
    dgemv(trans, m, n, alpha, a, lda, x, 1, beta, y, 1);
    return;
  }
  auto rows = [&](int b) {
    const int r0 = b * kTallBlock;
    return std::pair<int, int>(r0, (m - r0 < kTallBlock ? m - r0 : kTallBlock));
  };
  std::vector<double> part(static_cast<std::size_t>(nblock) * n);
#pragma omp parallel for schedule(static)
  for (int b = 0; b < nblock; ++b) {
    const auto [r0, nr] = rows(b);
    dgemv('T', nr, n, 1.0, a + r0, lda, x + r0, 1, 0.0, part.data() + static_cast<std::size_t>(b) * n,
          1);
  }
  for (int j = 0; j < n; ++j) {
    double s = 0.0;
    for (int b = 0; b < nblock; ++b) s += part[static_cast<std::size_t>(b) * n + j];
    y[j] = beta == 0.0 ? alpha * s : beta * y[j] + alpha * s;
  }
}

}  // namespace velmora::blas
