#include "solver/tiled_lu.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "common/blas.hpp"
#include "common/comm.hpp"

extern "C" {
void sgetrf_(const int* m, const int* n, float* a, const int* lda, int* ipiv, int* info);
void slaswp_(const int* n, float* a, const int* lda, const int* k1, const int* k2, const int* ipiv,
             const int* incx);
void strsm_(const char* side, const char* uplo, const char* transa, const char* diag, const int* m,
            const int* n, const float* alpha, const float* a, const int* lda, float* b,
            const int* ldb, std::size_t, std::size_t, std::size_t, std::size_t);
void sgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const float* alpha, const float* a, const int* lda, const float* b, const int* ldb,
            const float* beta, float* c, const int* ldc, std::size_t, std::size_t);
}

namespace velmora {

void TiledLU::clear() {
  n_ = 0;
  std::vector<float>().swap(lu_);
  std::vector<int>().swap(piv_);
}

bool TiledLU::factor(int n, std::vector<float> a, int threads, const Comm* comm) {
  n_ = n;
  threads_ = std::max(1, threads);
  lu_ = std::move(a);
  piv_.assign(n, 0);
  if (n == 0) return true;
  const int np = comm ? comm->size() : 1, me = comm ? comm->rank() : 0;
  float* const A = lu_.data();
  const std::size_t ld = static_cast<std::size_t>(n);
  const auto at = [&](int i, int j) { return A + i + j * ld; };
  const int lda = n;
  const int ntiles = (n + kTile - 1) / kTile;
  std::vector<int> mine;  // this process's column tiles
  for (int t = me; t < ntiles; t += np) mine.push_back(t);
  // A non-finite entry in any process's tiles stops them all.
  bool finite = true;
  for (const int t : mine)
    for (const float* v = at(0, t * kTile); v != at(0, std::min(n, (t + 1) * kTile)); ++v)
      finite = finite && std::isfinite(*v);
  if (np > 1) finite = comm->max(finite ? 0 : 1) == 0;
  if (!finite) return false;
  blas::SingleThreadScope one;
  std::vector<float> panel;  // the panel's rows k..n, column by column (processes)
  bool ok = true;
  for (int k = 0; k < n; k += kPanel) {
    const int nb = std::min(kPanel, n - k);
    const int m = n - k;
    const int owner = (k / kTile) % np;
    if (owner == me) {
      int info = 0;
      sgetrf_(&m, &nb, at(k, k), &lda, piv_.data() + k, &info);
      if (info != 0) ok = false;
      for (int i = k; i < k + nb; ++i) piv_[i] += k;
    }
    if (np > 1) {
      // The panel's exchanges and its L (rows k..n) to every process.
      comm->broadcast(piv_.data() + k, static_cast<std::int64_t>(nb) * sizeof(int), owner);
      panel.resize(static_cast<std::size_t>(m) * nb);
      if (owner == me)
        for (int j = 0; j < nb; ++j) std::copy_n(at(k, k + j), m, panel.data() + static_cast<std::size_t>(j) * m);
      comm->broadcast(panel.data(), static_cast<std::int64_t>(panel.size()) * sizeof(float), owner);
      if (owner != me)
        for (int j = 0; j < nb; ++j) std::copy_n(panel.data() + static_cast<std::size_t>(j) * m, m, at(k, k + j));
    }
    // This process's column tiles: columns left of the panel take its row
    // exchanges only; those right of it also U12 and the trailing update.
    // The pieces depend only on n and k, so every column's operations are
    // the same whichever process and thread holds its tile.
    const int right = k + nb;
#pragma omp parallel for num_threads(threads_) schedule(dynamic, 1)
    for (std::size_t i = 0; i < mine.size(); ++i) {
      const int c0 = mine[i] * kTile, c1 = std::min(n, c0 + kTile);
      const int k1 = k + 1, k2 = k + nb, inc = 1;
      const int l1 = std::min(c1, k);
      if (l1 > c0) {
        const int w = l1 - c0;
        slaswp_(&w, at(0, c0), &lda, &k1, &k2, piv_.data(), &inc);
      }
      const int r0 = std::max(c0, right);
      if (r0 >= c1) continue;
      const int w = c1 - r0;
      slaswp_(&w, at(0, r0), &lda, &k1, &k2, piv_.data(), &inc);
      const float one_f = 1.0f, minus_one = -1.0f;
      strsm_("L", "L", "N", "U", &nb, &w, &one_f, at(k, k), &lda, at(k, r0), &lda, 1, 1, 1, 1);
      const int rows = n - right;
      if (rows > 0)
        sgemm_("N", "N", &rows, &w, &nb, &minus_one, at(right, k), &lda, at(k, r0), &lda, &one_f,
               at(right, r0), &lda, 1, 1);
    }
  }
  if (np > 1) {
    // Every process solves with the whole factors: each tile (contiguous
    // columns) from its owner.
    for (int t = 0; t < ntiles; ++t) {
      const int c0 = t * kTile, c1 = std::min(n, c0 + kTile);
      comm->broadcast(at(0, c0), static_cast<std::int64_t>(c1 - c0) * n * sizeof(float), t % np);
    }
    ok = comm->max(ok ? 0 : 1) == 0;
  }
  return ok;
}

void TiledLU::solve(double* b) const {
  // The exchanges, then L (unit diagonal) forward and U backward, with the
  // factors' entries widened to double: the solve is the linear map of the
  // single-precision factors, evaluated in double precision.  (Rounding b
  // and the solve to single precision would make the preconditioner
  // nonlinear at 1e-7 times the coarse matrix's condition, and GMRES's true
  // residual then stalled at 7e-5 against an estimate of 6e-7 on the
  // 100,820-triangle sphere.)  Column blocks of kTile: the block's triangle
  // on one thread, then the rows beyond it, cut among the threads; every
  // entry of b takes its updates in column order whatever the cut, so the
  // bits do not depend on the thread count.
  const int n = n_;
  const std::size_t ld = static_cast<std::size_t>(n);
  const float* const A = lu_.data();
  for (int i = 0; i < n; ++i) {
    const int r = piv_[i] - 1;
    if (r != i) std::swap(b[i], b[r]);
  }
  const auto update = [&](int j0, int j1, int r0, int r1) {
    for (int j = j0; j < j1; ++j) {
      const double x = b[j];
      const float* col = A + j * ld;
      for (int i = r0; i < r1; ++i) b[i] -= static_cast<double>(col[i]) * x;
    }
  };
  const int threads = threads_;
#pragma omp parallel num_threads(threads)
  {
    for (int j0 = 0; j0 < n; j0 += kTile) {
      const int j1 = std::min(n, j0 + kTile);
#pragma omp single
      for (int j = j0; j < j1; ++j) update(j, j + 1, j + 1, j1);
      const int rows = n - j1;
      const int nt = omp_get_num_threads(), t = omp_get_thread_num();
      update(j0, j1, j1 + static_cast<int>(static_cast<long>(rows) * t / nt),
             j1 + static_cast<int>(static_cast<long>(rows) * (t + 1) / nt));
#pragma omp barrier
    }
    for (int j1 = n; j1 > 0; j1 -= kTile) {
      const int j0 = std::max(0, j1 - kTile);
#pragma omp single
      for (int j = j1 - 1; j >= j0; --j) {
        const float* col = A + j * ld;
        b[j] /= static_cast<double>(col[j]);
        const double x = b[j];
        for (int i = j0; i < j; ++i) b[i] -= static_cast<double>(col[i]) * x;
      }
      const int nt = omp_get_num_threads(), t = omp_get_thread_num();
      update(j0, j1, static_cast<int>(static_cast<long>(j0) * t / nt),
             static_cast<int>(static_cast<long>(j0) * (t + 1) / nt));
#pragma omp barrier
    }
  }
}

}  // namespace velmora
