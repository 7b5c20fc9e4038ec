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
// to process t mod P, which balances the shrinking trailing matrix): each
// panel is factored by its tile's owner and broadcast with its exchanges,
// each process updates its own tiles, and at the end every tile is
// broadcast by its owner, so that every process holds the whole factors for
// its solves.  The same calls on the same columns: the same bits for any P.
//
// Single precision: the coarse correction is an approximate solve anyway
// (its operator is built from point Stokeslets between cell centroids), and
// the factors' rounding, about 1e-7 relative times the matrix's condition,
// stays far below that approximation; the factorisation takes half the time
// and the factors half the memory of double precision.
#pragma once

#include <vector>

namespace velmora {

class Comm;

class TiledLU {
 public:
  // Factors the n x n column-major matrix a (leading dimension n), which is
  // consumed; threads factor it and solve with it.  false: a non-finite
  // entry or a zero pivot (the factors are then not usable).
  // comm (collective): the factorisation is shared among its processes;
  // each passes a matrix whose columns of its own tiles are A's (it reads
  // no others).
  bool factor(int n, std::vector<float> a, int threads, const Comm* comm = nullptr);
  // b = A^-1 b, in double precision with the single-precision factors.
  void solve(double* b) const;
  void clear();

  static constexpr int kPanel = 128;
  static constexpr int kTile = 256;

 private:
  int n_ = 0, threads_ = 1;
  std::vector<float> lu_;
  std::vector<int> piv_;  // one-based, global rows
};

}  // namespace velmora
