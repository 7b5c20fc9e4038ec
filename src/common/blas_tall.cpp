#include "common/blas_tall.hpp"

#include <omp.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "common/blas.hpp"

namespace velmora::blas {

void dgemv_tall(char trans, int m, int n, double alpha, const double* a, int lda,
                const double* x, double beta, double* y) {
  const int nblock = m <= 0 ? 0 : (m - 1) / kTallBlock + 1;
  if (nblock <= 1 || n <= 0) {
    dgemv(trans, m, n, alpha, a, lda, x, 1, beta, y, 1);
    return;
  }
  auto rows = [&](int b) {
    const int r0 = b * kTallBlock;
    return std::pair<int, int>(r0, (m - r0 < kTallBlock ? m - r0 : kTallBlock));
  };
  if (trans == 'N' || trans == 'n') {
#pragma omp parallel for schedule(static)
    for (int b = 0; b < nblock; ++b) {
      const auto [r0, nr] = rows(b);
      dgemv('N', nr, n, alpha, a + r0, lda, x, 1, beta, y + r0, 1);
    }
    return;
  }
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
