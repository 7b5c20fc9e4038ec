// Dense LU with partial pivoting in single precision, blocked and threaded
// over fixed tiles, for the coarse matrix of the two-level preconditioner.
//
// Right-looking blocked elimination with panels of kPanel columns: the
// panel A(k:n, k:k+kPanel) is factored by LAPACK's sgetrf on one thread; its
// row exchanges are applied to the columns left and right of it; the block
// row right of it becomes U12 = L11^-1 A12 (strsm) and the trailing matrix
// A22 -= L21 U12 (sgemm).  Those last three steps run over the fixed column
// tiles of kTile columns (tile t: columns t kTile ..), each tile's piece by
// single-threaded BLAS calls, the tiles shared among the threads.  The
// pieces and their calls depend only on n, so the factors are the same bits
// for any number of threads.
//
// In a run of several processes the tiles are dealt out cyclically (tile t
// to process t mod P, which balances the shrinking trailing matrix), and a
// process stores only its own tiles: each panel is factored by its tile's
// owner and broadcast with its exchanges, and each process updates its own
// tiles.  The same calls on the same columns: the same bits for any P.  The
// factors stay where they were computed (n^2/P per process); a solve passes
// b from tile to tile along their owners (see solve).
//
// Single precision: the coarse correction is an approximate solve anyway
// (its operator is built from point Stokeslets between cell centroids), and
// the factors' rounding, about 1e-7 relative times the matrix's condition,
// stays far below that approximation; the factorisation takes half the time
// and the factors half the memory of double precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

class Comm;

class TiledLU {
 public:
  // Factors the n x n matrix A, which is consumed; threads factor it and
  // solve with it.  `a` holds this process's column tiles (every tile with
  // one process), in ascending order, each column-major with n rows:
  // column c of A at a[local_column(c, P) * n ..], n * local_columns(n, P,
  // rank) entries in all.  false: a non-finite entry or a zero pivot (the
  // factors are then not usable).  comm (collective): the factorisation is
  // shared among its processes, and so is every solve with it.
  bool factor(int n, std::vector<float> a, int threads, const Comm* comm = nullptr);
  // b = A^-1 b, in double precision with the single-precision factors.
  // Collective over factor's processes; b is the same on each, in and out.
  void solve(double* b) const;
  void clear();

  static constexpr int kPanel = 128;
  static constexpr int kTile = 256;

  // The process (of np) that holds column c, the column's place in that
  // process's storage, and how many columns process `me` holds.
  static int owner(std::int64_t c, int np) { return static_cast<int>((c / kTile) % np); }
  static std::size_t local_column(std::int64_t c, int np) {
    return static_cast<std::size_t>((c / kTile / np) * kTile + c % kTile);
  }
  static std::size_t local_columns(int n, int np, int me);

 private:
  int n_ = 0, threads_ = 1;
  const Comm* comm_ = nullptr;  // null with one process
  std::vector<float> lu_;       // this process's tiles, as `a` in factor
  std::vector<int> piv_;  // one-based, global rows
};

}  // namespace velmora
