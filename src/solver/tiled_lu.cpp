#include "solver/tiled_lu.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
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

std::size_t TiledLU::local_columns(int n, int np, int me) {
  std::size_t cols = 0;
  for (int c0 = me * kTile; c0 < n; c0 += np * kTile) cols += static_cast<std::size_t>(std::min(n, c0 + kTile) - c0);
  return cols;
}

void TiledLU::clear() {
  n_ = 0;
  comm_ = nullptr;
  std::vector<float>().swap(lu_);
  std::vector<int>().swap(piv_);
}

bool TiledLU::factor(int n, std::vector<float> a, int threads, const Comm* comm) {
  n_ = n;
  threads_ = std::max(1, threads);
  comm_ = comm != nullptr && comm->size() > 1 ? comm : nullptr;
  const int np = comm_ ? comm_->size() : 1, me = comm_ ? comm_->rank() : 0;
  if (a.size() != static_cast<std::size_t>(n) * local_columns(n, np, me))
    throw std::invalid_argument("TiledLU::factor: the storage does not hold this process's tiles");
  lu_ = std::move(a);
  piv_.assign(n, 0);
  if (n == 0) return true;
  float* const A = lu_.data();
  const std::size_t ld = static_cast<std::size_t>(n);
  // Entry (i, j) of a column j this process holds.
  const auto at = [&](int i, int j) { return A + i + local_column(j, np) * ld; };
  const int lda = n;
  const int ntiles = (n + kTile - 1) / kTile;
  std::vector<int> mine;  // this process's column tiles
  for (int t = me; t < ntiles; t += np) mine.push_back(t);
  // A non-finite entry in any process's tiles stops them all.
  bool finite = true;
  for (const float v : lu_) finite = finite && std::isfinite(v);
  if (np > 1) finite = comm_->max(finite ? 0 : 1) == 0;
  if (!finite) return false;
  blas::SingleThreadScope one;
  // Another process's panel: its rows k..n packed for the broadcast, and
  // unpacked with leading dimension n at the rows where its owner holds
  // them, so that every process makes the same BLAS calls on it.
  std::vector<float> packed, panel;
  if (np > 1) panel.assign(ld * kPanel, 0.0f);
  bool ok = true;
  for (int k = 0; k < n; k += kPanel) {
    const int nb = std::min(kPanel, n - k);
    const int m = n - k;
    const int owner_k = owner(k, np);
    if (owner_k == me) {
      int info = 0;
      sgetrf_(&m, &nb, at(k, k), &lda, piv_.data() + k, &info);
      if (info != 0) ok = false;
      for (int i = k; i < k + nb; ++i) piv_[i] += k;
    }
    // L of the panel: entry (i, k + j) at lp[i + j ld].
    const float* lp = owner_k == me ? at(0, k) : panel.data();
    if (np > 1) {
      comm_->broadcast(piv_.data() + k, static_cast<std::int64_t>(nb) * sizeof(int), owner_k);
      packed.resize(static_cast<std::size_t>(m) * nb);
      if (owner_k == me)
        for (int j = 0; j < nb; ++j) std::copy_n(at(k, k + j), m, packed.data() + static_cast<std::size_t>(j) * m);
      comm_->broadcast(packed.data(), static_cast<std::int64_t>(packed.size()) * sizeof(float), owner_k);
      if (owner_k != me)
        for (int j = 0; j < nb; ++j)
          std::copy_n(packed.data() + static_cast<std::size_t>(j) * m, m, panel.data() + k + j * ld);
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
      strsm_("L", "L", "N", "U", &nb, &w, &one_f, lp + k, &lda, at(k, r0), &lda, 1, 1, 1, 1);
      const int rows = n - right;
      if (rows > 0)
        sgemm_("N", "N", &rows, &w, &nb, &minus_one, lp + right, &lda, at(k, r0), &lda, &one_f,
               at(right, r0), &lda, 1, 1);
    }
  }
  if (np > 1) ok = comm_->max(ok ? 0 : 1) == 0;
  return ok;
}

void TiledLU::solve(double* b) const {
  // The exchanges, then L (unit diagonal) forward and U backward, with the
  // factors' entries widened to double: the solve is the linear map of the
  // single-precision factors, evaluated in double precision.  (Rounding b
  // and the solve to single precision would make the preconditioner
  // nonlinear at 1e-7 times the coarse matrix's condition, and GMRES's true
  // residual then stalled at 7e-5 against an estimate of 6e-7 on the
  // 100,820-triangle sphere.)
  //
  // By the column tiles, forward then backward: the tile's triangle on one
  // thread, then the rows beyond it (above it, backward), cut among the
  // threads.  Every entry of b takes its updates in column order whatever
  // the cut, so the bits do not depend on the thread count.  With several
  // processes each tile is applied by its owner, which receives the rows
  // still to be updated from the previous tile's owner and passes them on
  // to the next: the same operations in the same order on every entry, so
  // the same bits for any P.  Between the sweeps and at the end, the rows
  // of each tile (final on its owner) are gathered on every process.
  const int n = n_;
  if (n == 0) return;
  const std::size_t ld = static_cast<std::size_t>(n);
  const float* const A = lu_.data();
  const int np = comm_ ? comm_->size() : 1, me = comm_ ? comm_->rank() : 0;
  const int ntiles = (n + kTile - 1) / kTile;
  for (int i = 0; i < n; ++i) {
    const int r = piv_[i] - 1;
    if (r != i) std::swap(b[i], b[r]);
  }
  const auto col = [&](int j) { return A + local_column(j, np) * ld; };
  const auto update = [&](int j0, int j1, int r0, int r1) {
    for (int j = j0; j < j1; ++j) {
      const double x = b[j];
      const float* c = col(j);
      for (int i = r0; i < r1; ++i) b[i] -= static_cast<double>(c[i]) * x;
    }
  };
  // Columns j0..j1 applied to rows r0..r1, the rows cut among the threads.
  const auto update_rows = [&](int j0, int j1, int r0, int r1) {
    if (threads_ == 1 || r1 - r0 < 2 * threads_) {
      update(j0, j1, r0, r1);
      return;
    }
#pragma omp parallel num_threads(threads_)
    {
      const int nt = omp_get_num_threads(), t = omp_get_thread_num();
      const long rows = r1 - r0;
      update(j0, j1, r0 + static_cast<int>(rows * t / nt), r0 + static_cast<int>(rows * (t + 1) / nt));
    }
  };
  // Each tile's rows from its owner to every process.
  std::vector<int> counts;
  std::vector<double> mine, all;
  const auto gather_tiles = [&]() {
    if (np == 1) return;
    counts.assign(np, 0);
    mine.clear();
    for (int t = 0; t < ntiles; ++t) {
      const int j0 = t * kTile, j1 = std::min(n, j0 + kTile);
      counts[t % np] += j1 - j0;
      if (t % np == me) mine.insert(mine.end(), b + j0, b + j1);
    }
    all.resize(ld);
    comm_->allgatherv(mine.data(), counts, all.data());
    std::size_t at = 0;
    for (int r = 0; r < np; ++r)
      for (int t = r; t < ntiles; t += np) {
        const int j0 = t * kTile, j1 = std::min(n, j0 + kTile);
        std::copy_n(all.data() + at, j1 - j0, b + j0);
        at += static_cast<std::size_t>(j1 - j0);
      }
  };
  for (int t = 0; t < ntiles; ++t) {
    if (t % np != me) continue;
    const int j0 = t * kTile, j1 = std::min(n, j0 + kTile);
    if (np > 1 && t > 0) comm_->recv(b + j0, n - j0, (t - 1) % np);
    for (int j = j0; j < j1; ++j) update(j, j + 1, j + 1, j1);
    update_rows(j0, j1, j1, n);
    if (np > 1 && t + 1 < ntiles) comm_->send(b + j1, n - j1, (t + 1) % np);
  }
  gather_tiles();
  for (int t = ntiles - 1; t >= 0; --t) {
    if (t % np != me) continue;
    const int j0 = t * kTile, j1 = std::min(n, j0 + kTile);
    if (np > 1 && t + 1 < ntiles) comm_->recv(b, j1, (t + 1) % np);
    for (int j = j1 - 1; j >= j0; --j) {
      const float* c = col(j);
      b[j] /= static_cast<double>(c[j]);
      const double x = b[j];
      for (int i = j0; i < j; ++i) b[i] -= static_cast<double>(c[i]) * x;
    }
    update_rows(j0, j1, 0, j0);
    if (np > 1 && t > 0) comm_->send(b, j0, (t - 1) % np);
  }
  gather_tiles();
}

}  // namespace velmora
